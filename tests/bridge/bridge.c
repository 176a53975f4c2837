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
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

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

static void EndGroup(int signal_number) {
    (void)signal_number;
    kill(0, SIGKILL);
    _exit(137);
}

int wmain(int argc, WCHAR **argv) {
    char **args = calloc(argc + 1, sizeof *args);
    args[0] = LINUX_PROGRAM;
    for (int i = 1; i < argc; ++i)
        args[i] = Translate(argv[i]);

    WCHAR folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    char *unix_folder = wine_get_unix_file_name(folder);

    /* The Windows PATH means nothing to Linux programs. */
    int count = 0;
    while (environ[count])
        ++count;
    char **env = calloc(count + 2, sizeof *env);
    int kept = 0;
    for (int i = 0; i < count; ++i)
        if (strncmp(environ[i], "PATH=", 5) != 0)
            env[kept++] = environ[i];
    env[kept++] = "PATH=/usr/local/bin:/usr/bin:/bin";

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
