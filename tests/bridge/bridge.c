/* A Winelib bridge for the tests: a Windows program named git.exe, python.exe or tar.exe that
 * runs the machine's own LINUX_PROGRAM with the same arguments, Windows paths (and the working
 * folder) translated to Unix paths. Its output comes back on this program's standard output
 * handle, its exit code is this program's, and it dies with this program together with every
 * Linux process it started (a cancel ends the bridge through its job, and on Windows the job
 * would take the whole tree: git's remote helpers, a build's compilers).
 *   winegcc -municode -DLINUX_PROGRAM='"/usr/bin/git"' -o git bridge.c   (git.exe.so)
 *   winegcc -municode -Wb,--fake-module -o git bridge.c                  (the PE stub git.exe)
 */
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <wchar.h>

#ifndef LINUX_PROGRAM
#define LINUX_PROGRAM "/bin/false"
#endif

extern char *CDECL wine_get_unix_file_name(LPCWSTR dos);
extern char **environ;

static char *Utf8(const WCHAR *text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *bytes = malloc(size > 0 ? size : 1);
    bytes[0] = 0;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, size, NULL, NULL);
    return bytes;
}

static int LooksLikePath(const WCHAR *arg) {
    if (((arg[0] >= 'A' && arg[0] <= 'Z') || (arg[0] >= 'a' && arg[0] <= 'z')) && arg[1] == ':')
        return 1;
    for (; *arg; ++arg)
        if (*arg == '\\')
            return 1;
    return 0;
}

static char *Translate(const WCHAR *arg) {
    if (LooksLikePath(arg)) {
        char *unix_path = wine_get_unix_file_name(arg);
        if (unix_path) {
            char *copy = strdup(unix_path);
            HeapFree(GetProcessHeap(), 0, unix_path);
            return copy;
        }
    }
    return Utf8(arg);
}

/* The variables Setup hands its children. */
static int Carried(const char *entry) {
    static const char *const names[] = {"HTTPS_PROXY=", "HTTP_PROXY=", "NO_PROXY=", "PYTHONUTF8="};
    if (strncmp(entry, "GIT_", 4) == 0)
        return 1;
    for (size_t i = 0; i < sizeof names / sizeof *names; ++i)
        if (strncmp(entry, names[i], strlen(names[i])) == 0)
            return 1;
    return 0;
}

static char *Joined(const char *name, const char *value) {
    char *entry = malloc(strlen(name) + strlen(value) + 2);
    sprintf(entry, "%s=%s", name, value);
    return entry;
}

/* The value of a variable in a list of "NAME=value" entries, or NULL. Windows names are read
 * without regard to case. */
static const char *ValueIn(char **entries, int count, const char *name) {
    size_t length = strlen(name);
    for (int i = 0; i < count; ++i)
        if (!strncasecmp(entries[i], name, length) && entries[i][length] == '=')
            return entries[i] + length + 1;
    return NULL;
}

static char *UnixPath(const char *windows_path) {
    WCHAR wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_UTF8, 0, windows_path, -1, wide, MAX_PATH))
        return NULL;
    for (WCHAR *c = wide; *c; ++c)
        if (*c == '/')
            *c = '\\';
    char *unix_path = wine_get_unix_file_name(wide);
    if (!unix_path)
        return NULL;
    char *copy = strdup(unix_path);
    HeapFree(GetProcessHeap(), 0, unix_path);
    return copy;
}

/* Adds Setup's variables to env (kept entries so far). GIT_CONFIG_* are renumbered: Linux git
 * has no schannel and dies on those settings, so they are dropped, and a safe.directory is
 * given as its Unix path. Every setting seen is appended to the file IRONVALE_BRIDGE_RECORD
 * names, for the tests: "carried KEY=VALUE" or "dropped KEY=VALUE". */
static char **CarryWindowsEnvironment(char **env, int *kept) {
    WCHAR *block = GetEnvironmentStringsW();
    int count = 0;
    for (const WCHAR *entry = block; *entry; entry += lstrlenW(entry) + 1)
        ++count;
    char **windows = calloc(count + 1, sizeof *windows);
    int at = 0;
    for (const WCHAR *entry = block; *entry; entry += lstrlenW(entry) + 1)
        windows[at++] = Utf8(entry);
    FreeEnvironmentStringsW(block);

    env = realloc(env, (*kept + count * 2 + 4) * sizeof *env);
    for (int i = 0; i < count; ++i)
        if (Carried(windows[i]) && strncmp(windows[i], "GIT_CONFIG_", 11) != 0)
            env[(*kept)++] = windows[i];
    const char *count_text = ValueIn(windows, count, "GIT_CONFIG_COUNT");
    const char *record_path = ValueIn(windows, count, "IRONVALE_BRIDGE_RECORD");
    char *unix_record = record_path ? UnixPath(record_path) : NULL;
    FILE *record = unix_record ? fopen(unix_record, "a") : NULL;
    int settings = count_text ? atoi(count_text) : 0;
    int carried = 0;
    for (int i = 0; i < settings; ++i) {
        char name[32];
        sprintf(name, "GIT_CONFIG_KEY_%d", i);
        const char *key = ValueIn(windows, count, name);
        sprintf(name, "GIT_CONFIG_VALUE_%d", i);
        const char *value = ValueIn(windows, count, name);
        if (!key || !value)
            continue;
        const int dropped =
            !strcasecmp(key, "http.sslBackend") || !strcasecmp(key, "http.schannelCheckRevoke");
        if (record)
            fprintf(record, "%s %s=%s\n", dropped ? "dropped" : "carried", key, value);
        if (dropped)
            continue;
        char *unix_value = !strcasecmp(key, "safe.directory") ? UnixPath(value) : NULL;
        /* Git compares the folder's real path (drive_c, not dosdevices/c:). */
        char *real = unix_value ? realpath(unix_value, NULL) : NULL;
        if (real) {
            free(unix_value);
            unix_value = real;
        }
        sprintf(name, "GIT_CONFIG_KEY_%d", carried);
        env[(*kept)++] = Joined(name, key);
        sprintf(name, "GIT_CONFIG_VALUE_%d", carried);
        env[(*kept)++] = Joined(name, unix_value ? unix_value : value);
        free(unix_value);
        ++carried;
    }
    if (record)
        fclose(record);
    free(unix_record);
    if (carried > 0) {
        char number[16];
        sprintf(number, "%d", carried);
        env[(*kept)++] = Joined("GIT_CONFIG_COUNT", number);
    }
    env[*kept] = NULL;
    return env;
}

static void EndGroup(int signal_number) {
    (void)signal_number;
    kill(0, SIGKILL);
    _exit(137);
}

int wmain(int argc, WCHAR **argv) {
#ifdef TOOL_VERSION
    if (argc == 2 && wcscmp(argv[1], L"--version") == 0) {
        DWORD wrote = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), TOOL_VERSION "\n", sizeof TOOL_VERSION, &wrote,
                  NULL);
        return 0;
    }
#endif
    char **args = calloc(argc + 1, sizeof *args);
    args[0] = LINUX_PROGRAM;
    for (int i = 1; i < argc; ++i)
        args[i] = Translate(argv[i]);

    WCHAR folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    char *unix_folder = wine_get_unix_file_name(folder);

    /* Wine starts a Winelib program with its loader's Unix environment, not the Windows one
     * its parent handed it: what Setup set for its children is carried over by hand. The
     * Windows PATH means nothing to Linux programs. */
    int count = 0;
    while (environ[count])
        ++count;
    char **env = calloc(count + 1, sizeof *env);
    int kept = 0;
    for (int i = 0; i < count; ++i)
        if (strncmp(environ[i], "PATH=", 5) != 0 && !Carried(environ[i]))
            env[kept++] = environ[i];
    env[kept] = NULL;
    env = CarryWindowsEnvironment(env, &kept);
    env = realloc(env, (kept + 2) * sizeof *env);
    env[kept++] = "PATH=/usr/local/bin:/usr/bin:/bin";
    env[kept] = NULL;

    int out[2];
    if (pipe(out) != 0)
        return 126;
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child < 0)
        return 126;
    if (child == 0) {
        /* A keeper in a process group of its own: when the bridge dies, it ends the group. */
        setpgid(0, 0);
        signal(SIGTERM, EndGroup);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            EndGroup(0);
        int none = open("/dev/null", O_RDONLY);
        dup2(none, 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        close(out[0]);
        close(out[1]);
        if (unix_folder && chdir(unix_folder) != 0)
            _exit(127);
        const pid_t program = fork();
        if (program == 0) {
            signal(SIGTERM, SIG_DFL);
            execve(LINUX_PROGRAM, args, env);
            _exit(127);
        }
        close(1);
        close(2);
        int status = 127;
        while (program > 0 && waitpid(program, &status, 0) < 0 && errno == EINTR)
            ;
        if (WIFEXITED(status))
            _exit(WEXITSTATUS(status));
        _exit(128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
    }
    close(out[1]);

    HANDLE stdout_handle = GetStdHandle(STD_OUTPUT_HANDLE);
    char block[65536];
    ssize_t got;
    while ((got = read(out[0], block, sizeof block)) > 0 || (got < 0 && errno == EINTR)) {
        DWORD wrote = 0;
        if (got > 0)
            WriteFile(stdout_handle, block, (DWORD)got, &wrote, NULL);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
        ;
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
