// Form logic: what the setup window's controls do.
#include "form.h"
#include "details.h"
#include "install.h"
#include "runner.h"
#include "seams.h"
#include "statusline.h"
#include "steps.h"
#include "taskbar.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shobjidl.h>

#include <algorithm>
#include <cwchar>
#include <system_error>

namespace setup {

namespace {

constexpr wchar_t kReleaseYear[] = L"2011";
constexpr wchar_t kInstallFolderName[] = L"Ironvale-Recomp";
constexpr UINT kMarqueeMs = 30;

bool Checked(int id) {
    return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}
int Ask(const std::wstring& text, UINT flags) {
    return MessageBoxW(s_window, text.c_str(), kCaption, flags);
}

// The system's own sentence for an error, without the line break it ends with.
std::wstring ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    const UniqueLocal owned(text);
    std::wstring sentence =
        length ? std::wstring(text, length) : L"error " + std::to_wstring(error);
    while (!sentence.empty() && (sentence.back() == L'\n' || sentence.back() == L'\r'))
        sentence.pop_back();
    return sentence;
}

bool IsAscii(const std::wstring& text) {
    for (wchar_t c : text)
        if (c > 127)
            return false;
    return true;
}

// A drive letter and a backslash, or \\server\share: anything else is taken relative to some
// current folder, and git, tar and the build each have their own.
bool IsFullPath(const std::wstring& path) {
    const wchar_t drive = path.empty() ? 0 : static_cast<wchar_t>(path[0] | 0x20);
    if (path.size() >= 3 && drive >= L'a' && drive <= L'z' && path[1] == L':' && path[2] == L'\\')
        return true;
    if (path.size() < 5 || path.compare(0, 2, L"\\\\") != 0)
        return false;
    const size_t share = path.find(L'\\', 2);
    return share != std::wstring::npos && share > 2 && share + 1 < path.size() &&
           path[share + 1] != L'\\';
}

} // namespace

fs::path NearestExisting(const fs::path& path) {
    fs::path at = path;
    for (;;) {
        std::error_code error;
        if (fs::exists(at, error))
            return at;
        const fs::path parent = at.parent_path();
        if (parent.empty() || parent == at)
            return at;
        at = parent;
    }
}

fs::path InstallFolderFor(const fs::path& picked) {
    if (picked.filename().native() == kInstallFolderName)
        return picked;
    return picked / kInstallFolderName;
}

void UpdateSourceChoice() {
    const bool folderChoice = Checked(kIdFolderChoice);
    const std::wstring hint =
        folderChoice ? L"The folder with default.xex and Cache.Xbox360 (from extract-xiso, "
                       L"Xenia, etc.). It's copied."
                     : std::wstring(L"A dump of your own Xbox 360 disc of Ironvale (") +
                           kReleaseYear + L").";
    SetWindowTextW(Item(kIdSourceHint), hint.c_str());
    if (folderChoice) {
        EnableWindow(Item(kIdDeleteImage), FALSE);
        SendMessageW(Item(kIdDeleteImage), BM_SETCHECK, BST_UNCHECKED, 0);
    } else {
        EnableWindow(Item(kIdDeleteImage), !s_busy);
    }
}

void UpdateFreeSpace() {
    const std::wstring folder = Text(kIdFolder);
    ULARGE_INTEGER available{};
    if (folder.empty() ||
        !s_seams.freeSpace(NearestExisting(folder).c_str(), &available, nullptr, nullptr)) {
        SetWindowTextW(Item(kIdFreeSpaceLine), L"");
        return;
    }
    const std::wstring line = SizeText(available.QuadPart) + L" free on that drive; about " +
                              std::to_wstring(kSpaceToExtract / kGiB) + L" GB is needed (" +
                              std::to_wstring(kSpaceExtracted / kGiB) +
                              L" GB once the disc is extracted).";
    SetWindowTextW(Item(kIdFreeSpaceLine), line.c_str());
}

namespace {

fs::path PickFolder() {
    UniqueCom<IFileOpenDialog> dialog;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IFileOpenDialog, dialog.putVoid())))
        return {};
    FILEOPENDIALOGOPTIONS options = 0;
    dialog->GetOptions(&options);
    dialog->SetOptions(options | FOS_PICKFOLDERS);
    if (FAILED(dialog->Show(s_window)))
        return {};
    UniqueCom<IShellItem> item;
    if (FAILED(dialog->GetResult(item.put())))
        return {};
    PWSTR path = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)))
        return {};
    fs::path result = path;
    CoTaskMemFree(path);
    return result;
}

} // namespace

void BrowseSource() {
    if (Checked(kIdFolderChoice)) {
        const fs::path folder = PickFolder();
        if (!folder.empty())
            SetWindowTextW(Item(kIdSource), folder.c_str());
        return;
    }
    std::wstring file(kLongPath, L'\0'); // the manifest lets paths be longer than MAX_PATH
    OPENFILENAMEW open{};
    open.lStructSize = sizeof open;
    open.hwndOwner = s_window;
    open.lpstrFilter = L"Disc images (*.iso)\0*.iso\0All files\0*.*\0";
    open.nFilterIndex = 1;
    open.lpstrFile = file.data();
    open.nMaxFile = static_cast<DWORD>(file.size());
    open.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (GetOpenFileNameW(&open))
        SetWindowTextW(Item(kIdSource), file.c_str());
}

void BrowseDir() {
    const fs::path picked = PickFolder();
    if (!picked.empty())
        SetWindowTextW(Item(kIdFolder), InstallFolderFor(picked).c_str());
}

void CancelRun() {
    // The flag first: Run tests it after a child joins the job, so no child escapes both.
    s_cancel.exchange(true);
    TerminateJobObject(s_job.get(), 1);
    ShowStatus(L"Cancelling...");
}

void StartOrCancel() {
    if (s_busy) {
        CancelRun();
        return;
    }
    Choices choices;
    const std::wstring source = Text(kIdSource);
    const std::wstring folder = Text(kIdFolder);
    if (folder.empty()) {
        Ask(L"Choose a folder to install to.", MB_ICONINFORMATION);
        return;
    }
    // A ";" would split the tools' entry on PATH.
    if (!IsFullPath(folder) || folder.find(L';') != std::wstring::npos) {
        Ask(L"Choose a full folder path without ';', such as C:\\Ironvale-Recomp.",
            MB_ICONINFORMATION);
        return;
    }
    if (!source.empty() && !IsFullPath(source)) {
        Ask(L"Choose the full path of your disc image or extracted disc folder.",
            MB_ICONINFORMATION);
        return;
    }
    if (!IsAscii(folder) &&
        Ask(L"The folder's path has non-English characters, which some build tools can't "
            L"handle. A folder like C:\\Ironvale-Recomp is safer. Continue anyway?",
            MB_ICONWARNING | MB_YESNO) != IDYES)
        return;
    choices.source = source;
    choices.folder = folder;
    choices.shortcut = Checked(kIdShortcut);
    choices.freeSpace = Checked(kIdFreeSpaceOption);
    choices.deleteImage = Checked(kIdDeleteImage) && !Checked(kIdFolderChoice);

    std::error_code error;
    if (Checked(kIdFolderChoice) && !source.empty() && !fs::is_directory(source, error)) {
        Ask(L"That isn't a folder. Choose the folder of your extracted disc.", MB_ICONINFORMATION);
        return;
    }
    if (choices.deleteImage && !s_updateMode &&
        Ask(L"Delete the disc image when it's been extracted?\n\n" + source +
                L"\n\nThe game only needs the extracted files; you'd need the disc image again "
                L"only to install somewhere else.",
            MB_ICONQUESTION | MB_YESNO) != IDYES)
        return;

    s_cancel.exchange(false);
    ShowWindow(Item(kIdPlay), SW_HIDE);
    SetBusy(true);
    // The last run has reported its end but may still be finishing (WinHTTP's threads, the
    // system's thread clean-up): the new one waits for it, never the window.
    auto previous = std::make_shared<std::thread>(std::move(s_worker));
    try {
        s_worker = std::thread(
            [previous](Choices next) {
                if (previous->joinable())
                    previous->join();
                s_install(std::move(next));
            },
            std::move(choices));
    } catch (const std::system_error& failure) {
        s_worker = std::move(*previous);
        SetBusy(false);
        Ask(L"Couldn't start the installation (" + Widen(failure.what()) + L"). Try again.",
            MB_ICONWARNING);
    }
}

void SetBusy(bool busy) {
    s_busy.exchange(busy);
    for (int id : {kIdSource, kIdSourceBrowse, kIdFolder, kIdFolderBrowse, kIdShortcut,
                   kIdImageChoice, kIdFolderChoice, kIdFreeSpaceOption})
        EnableWindow(Item(id), !busy);
    EnableWindow(Item(kIdDeleteImage), !busy && !Checked(kIdFolderChoice));
    SetWindowTextW(Item(kIdInstall), busy ? L"Cancel" : L"Install");
    if (busy)
        SetProgress(0); // a new run starts from nothing, on the bar and on the taskbar
}

void SetProgress(int percent) {
    percent = std::min(percent, 100);
    HWND bar = Item(kIdProgress);
    const LONG_PTR style = GetWindowLongPtrW(bar, GWL_STYLE);
    if (percent < 0 && !(style & PBS_MARQUEE)) {
        SetWindowLongPtrW(bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, TRUE, kMarqueeMs);
    } else if (percent >= 0) {
        if (style & PBS_MARQUEE) {
            SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
            SetWindowLongPtrW(bar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
        }
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    }
    if (s_busy)
        ShowRunOnTaskbar(percent);
}

void Play() {
    if (s_installed.empty() || !IsWindowVisible(Item(kIdPlay)))
        return; // no run has built the game yet
    std::wstring command = Quote(s_installed);
    const fs::path folder = s_installed.parent_path();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Not in the job: the game outlives setup.
    if (!CreateProcessW(s_installed.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
        // A virus scanner may have taken the fresh build away: say so, and stay.
        const std::wstring text = L"Couldn't start the game: " + ErrorText(GetLastError());
        MessageBoxW(s_window, text.c_str(), kCaption, MB_ICONWARNING);
        return;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    PostMessageW(s_window, WM_CLOSE, 0, 0);
}

} // namespace setup
