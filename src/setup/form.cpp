// Form logic: what the setup window's controls do.
#include "form.h"
#include "formrules.h"
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
#include <system_error>

namespace setup {

namespace {

constexpr wchar_t kReleaseYear[] = L"2011";
constexpr UINT kMarqueeMs = 30;

bool Checked(int id) {
    return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}
int Ask(const std::wstring& text, UINT flags) {
    return MessageBoxW(s_window, text.c_str(), kCaption, flags);
}

} // namespace

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
    // Without FORCEFILESYSTEM, This PC or a library can be picked, which has no path.
    dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM);
    if (FAILED(dialog->Show(s_window)))
        return {};
    UniqueCom<IShellItem> item;
    if (FAILED(dialog->GetResult(item.put())))
        return {};
    PWSTR path = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &path)))
        return {};
    const UniqueCoTaskMem owned(path);
    return path;
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

namespace {

// Starts the worker on the choices.
void StartRun(Choices choices) {
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
                s_workerMain(std::move(next));
            },
            std::move(choices));
    } catch (const std::system_error& failure) {
        s_worker = std::move(*previous);
        SetBusy(false);
        Ask(L"Couldn't start the installation (" + Widen(failure.what()) + L"). Try again.",
            MB_ICONWARNING);
    }
}

// The boxes the form's values get, shown in turn: true when the run may start.
bool ConfirmedByUser(const FormValues& values) {
    for (const Prompt& prompt : FormPrompts(values))
        if (Ask(prompt.text, prompt.flags) != IDYES || !prompt.question())
            return false;
    return true;
}

} // namespace

void StartOrCancel() {
    if (s_busy) {
        CancelRun();
        return;
    }
    FormValues values;
    values.source = Text(kIdSource);
    values.folder = Text(kIdFolder);
    values.folderChoice = Checked(kIdFolderChoice);
    std::error_code error;
    values.sourceIsFolder = !values.source.empty() && fs::is_directory(values.source, error);
    values.deleteImage = Checked(kIdDeleteImage) && !values.folderChoice;
    values.updateMode = s_updateMode;
    if (!ConfirmedByUser(values))
        return;
    Choices choices;
    choices.source = values.source;
    choices.folder = values.folder;
    choices.shortcut = Checked(kIdShortcut);
    choices.freeSpace = Checked(kIdFreeSpaceOption);
    choices.deleteImage = values.deleteImage;
    StartRun(std::move(choices));
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
            // The bar repaints only between its old and new position: at the same position
            // (100 after a build's last step) the marquee's last block would stay on it.
            InvalidateRect(bar, nullptr, TRUE);
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
        const std::wstring text = L"Couldn't start the game: " + ErrorText(GetLastError(), false);
        MessageBoxW(s_window, text.c_str(), kCaption, MB_ICONWARNING);
        return;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    PostMessageW(s_window, WM_CLOSE, 0, 0);
}

} // namespace setup
