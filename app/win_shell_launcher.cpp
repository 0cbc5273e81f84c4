#include "app/win_shell_launcher.h"

#include <utility>

#include "app/win_main_window.h"
#include "platform/win32_text.h"

namespace ombrel {

std::string ProgramFolder(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    if (separator == std::string::npos) return "";
    const bool root = separator == 0 || (separator == 2 && path[1] == ':');
    return path.substr(0, root ? separator + 1 : separator);
}

std::string Utf8ToAnsi(const std::string& text) {
    const std::wstring wide = Widen(text);
    if (wide.empty()) return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()), ansi.data(), size,
                        nullptr, nullptr);
    return ansi;
}

TShellLauncher::TShellLauncher(std::function<HWND()> owner, TShellExecute shellExecute)
    : iOwner(std::move(owner)), iShellExecute(std::move(shellExecute)) {}

bool TShellLauncher::StartProgram(const std::string& path, bool runAsAdmin) {
    const std::string file = Utf8ToAnsi(path);
    const std::string folder = Utf8ToAnsi(ProgramFolder(path));
    SHELLEXECUTEINFOA info{};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    info.hwnd = iOwner ? iOwner() : nullptr;
    info.lpVerb = runAsAdmin ? "runas" : nullptr;
    info.lpFile = file.c_str();
    info.lpParameters = nullptr;
    info.lpDirectory = folder.empty() ? nullptr : folder.c_str();
    info.nShow = SW_SHOWNORMAL;
    const BOOL started = iShellExecute ? iShellExecute(&info) : ShellExecuteExA(&info);
    return started != FALSE;
}

}  // namespace ombrel
