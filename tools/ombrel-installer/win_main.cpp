// ombrel-installer for Windows: the graphical web installer. Its instruction is the RT_RCDATA
// resource "INSTRUCTION" that ombrel-stamp fills in; its switches are -h <server base URL> and
// --update-channel <channel>.
//
// The installer typically runs from a downloads folder, where anybody's files land. So before
// anything else (even the C runtime's start-up) libraries are restricted to the system folder,
// and the program imports at start only libraries that Windows always takes from there; every
// other library is loaded later, by name, from the system folder alone.

#include <objbase.h>
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/win_main_window.h"
#include "app/win_msg_alerts.h"
#include "app/win_shell_launcher.h"
#include "app/win_ui_dispatcher.h"
#include "messages/msg.h"
#include "platform/win32_text.h"

extern "C" int WinMainCRTStartup();

// The process entry (the linker's --entry): restricts the library search, then starts the C
// runtime, which calls main.
extern "C" int OmbrelInstallerStart() {
    using TSetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<TSetDefaultDllDirectories>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (!setDefault || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        // Windows without the call (7 without its update): at least not the current folder.
        SetDllDirectoryW(L"");
    }
    // Some system libraries load others only on first use, by a search of their own that need
    // not keep to the restriction (Wine's WinHTTP loads crypt32 so, and then takes a copy beside
    // the program). Loaded from the system folder now, such a library is found in memory later.
    LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return WinMainCRTStartup();
}

// What the C++ runtime calls when an exception leaves the program. Its own handler prints the
// exception's type to stderr, demangled, and so brings the whole demangler (about 45 KB) into
// the program; a program without a console shows that text nowhere. This one ends the program
// just as that one does after printing.
namespace __gnu_cxx {
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx

namespace {

// The arguments after the program name, as UTF-8.
std::vector<std::string> Arguments() {
    std::vector<std::string> arguments;
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(ombrel::Narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    auto alerts = std::make_shared<ombrel::TWinMsgAlerts>();
    ombrel::MsgHandler().SetAlerts(alerts);

    ombrel::TWinMainWindow* window = nullptr;
    auto launcher = std::make_shared<ombrel::TShellLauncher>(
        [&window] { return window ? window->Handle() : nullptr; });
    auto main = std::make_unique<ombrel::TWinMainWindow>(
        Arguments(), std::make_shared<ombrel::TWinUiDispatcher>(), launcher,
        std::make_shared<ombrel::TShellTaskbarButton>());
    window = main.get();
    main->ShowCentred();

    MSG message;
    int exitCode = 0;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    if (message.message == WM_QUIT) exitCode = static_cast<int>(message.wParam);

    // The message handler's end writes its log; then the process ends without waiting for a
    // run that the user abandoned by closing the window (its worker may still be busy).
    alerts->SetShuttingDown();
    ombrel::MsgHandler().SetAlerts(nullptr);
    ombrel::ReplaceMsgHandler(nullptr);
    std::fflush(nullptr);
    ExitProcess(static_cast<UINT>(exitCode));
}
