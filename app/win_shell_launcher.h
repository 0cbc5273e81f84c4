#pragma once
// Starting the installed program through the Windows shell.

// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <functional>
#include <string>

#include "platform/process_launcher.h"

namespace ombrel {

// ShellExecuteExA with: the structure's size, the flags SEE_MASK_FLAG_NO_UI |
// SEE_MASK_NOASYNC (0x500), the owner window, the verb "runas" when the program is to run with
// administrator rights (none otherwise, the default action), the path and its folder (everything
// before the last "\" or "/"; a drive root keeps its separator) in the ANSI code page, no
// parameters, and SW_SHOWNORMAL. The shell's answer is passed on; callers ignore it.
class TShellLauncher : public IProcessLauncher {
  public:
    using TShellExecute = std::function<BOOL(SHELLEXECUTEINFOA* info)>;

    // `owner` answers the window that owns any shell user interface (the elevation prompt);
    // `shellExecute` replaces the shell's call (tests).
    explicit TShellLauncher(std::function<HWND()> owner = {}, TShellExecute shellExecute = {});

    bool StartProgram(const std::string& path, bool runAsAdmin) override;

  private:
    std::function<HWND()> iOwner;
    TShellExecute iShellExecute;
};

// The working folder of a program path: everything before its last separator ("\" or "/"),
// keeping the separator of a drive root ("C:\" for "C:\setup.exe") or of the root ("\").
std::string ProgramFolder(const std::string& path);

// UTF-8 text in the system's ANSI code page.
std::string Utf8ToAnsi(const std::string& text);

}  // namespace ombrel
