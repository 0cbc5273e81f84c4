// The Win32 view of the installer's window, created for real (under Wine in the Windows test
// stage): its size, controls and texts after the window logic's steps, the taskbar calls it makes
// and the shell call that starts the program.

#include "app/win_main_window.h"

// windows.h first: commctrl.h needs its types.
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "app/norva_go_crypt.h"
#include "app/win_msg_alerts.h"
#include "app/win_shell_launcher.h"
#include "app/win_ui_dispatcher.h"
#include "ombrel/build_config.h"

namespace ombrel {
namespace {

// Records the taskbar calls, one line each.
class TRecordingTaskbar : public ITaskbarButton {
  public:
    void ButtonCreated(HWND) override { calls.push_back("created"); }
    void SetProgress(HWND, int32_t value, TTaskbarState state) override {
        calls.push_back(std::to_string(value) +
                        (state == TTaskbarState::Error ? " error" : " normal"));
    }
    std::vector<std::string> calls;
};

// What the shell was asked to do.
struct TShellCall {
    DWORD size = 0;
    ULONG mask = 0;
    HWND owner = nullptr;
    std::string verb = "(none)";
    std::string file;
    std::string parameters = "(none)";
    std::string directory = "(none)";
    int show = -1;
};

class WinMainWindowTest : public ::testing::Test {
  protected:
    // A window whose instruction comes from `reader`; the program start goes to the recording
    // shell call.
    std::unique_ptr<TWinMainWindow> Create(TApp::TResourceReader reader,
                                           std::vector<std::string> arguments = {}) {
        taskbar = std::make_shared<TRecordingTaskbar>();
        auto launcher =
            std::make_shared<TShellLauncher>([this] { return window ? window->Handle() : nullptr; },
                                             [this](SHELLEXECUTEINFOA* info) {
                                                 TShellCall call;
                                                 call.size = info->cbSize;
                                                 call.mask = info->fMask;
                                                 call.owner = info->hwnd;
                                                 if (info->lpVerb) call.verb = info->lpVerb;
                                                 call.file = info->lpFile ? info->lpFile : "";
                                                 if (info->lpParameters)
                                                     call.parameters = info->lpParameters;
                                                 if (info->lpDirectory)
                                                     call.directory = info->lpDirectory;
                                                 call.show = info->nShow;
                                                 shellCalls.push_back(call);
                                                 return TRUE;
                                             });
        auto created = std::make_unique<TWinMainWindow>(
            arguments, std::make_shared<TWinUiDispatcher>(), launcher, taskbar, std::move(reader));
        window = created.get();
        return created;
    }

    static TApp::TResourceReader Missing() {
        return [](std::string&, std::string& error) {
            error = "Ressource instruction nicht gefunden";
            return false;
        };
    }

    static SIZE ClientSize(HWND window) {
        RECT rect{};
        GetClientRect(window, &rect);
        return SIZE{rect.right, rect.bottom};
    }

    std::shared_ptr<TRecordingTaskbar> taskbar;
    std::vector<TShellCall> shellCalls;
    TWinMainWindow* window = nullptr;
};

TEST_F(WinMainWindowTest, StartsAt507By40WithTheProgressLineOnly) {
    auto created = Create([](std::string& bytes, std::string& error) {
        return EncryptEnvelopeV2(
            build::kInstructionPassword,
            "{\"title\":\"Demo Setup\",\"app\":\"demo\",\"startApp\":\"demo.exe\"}", bytes, error);
    });
    TWinMainWindow& view = *created;
    ASSERT_NE(view.Handle(), nullptr);
    EXPECT_EQ(ClientSize(view.Handle()).cx, 507);
    EXPECT_EQ(ClientSize(view.Handle()).cy, 40);
    EXPECT_FALSE(view.ErrorPanelVisible());
    EXPECT_TRUE(view.MarqueeRunning());
    EXPECT_EQ(view.ProgressText(), "Bereite vor...");
    char caption[64] = {};
    GetWindowTextA(view.Handle(), caption, sizeof caption);
    EXPECT_STREQ(caption, "Demo Setup");
    EXPECT_TRUE(view.Logic().State().timerEnabled);
    EXPECT_TRUE(taskbar->calls.empty());
    // The marquee sits left of the progress line, within the top 40 pixels.
    HWND marquee = FindWindowExW(view.Handle(), nullptr, PROGRESS_CLASSW, nullptr);
    ASSERT_NE(marquee, nullptr);
    EXPECT_TRUE(GetWindowLongW(marquee, GWL_STYLE) & PBS_MARQUEE);
}

TEST_F(WinMainWindowTest, AFailedLoadGrowsTheWindowAndListsTheError) {
    auto created = Create(Missing());
    TWinMainWindow& view = *created;
    const std::string message =
        "Anweisungen konnten nicht geladen werden: Ressource instruction nicht gefunden";
    EXPECT_EQ(view.ProgressText(), message);
    EXPECT_EQ(view.ErrorText(), message + " [TApp.LoadInstruction]");
    EXPECT_TRUE(view.ErrorPanelVisible());
    EXPECT_FALSE(view.MarqueeRunning());
    EXPECT_EQ(view.OuterSize().cy, 350);
    RECT outer{0, 0, 507, 40};
    AdjustWindowRectEx(&outer, WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE, 0);
    EXPECT_EQ(view.OuterSize().cx, outer.right - outer.left);
    char caption[64] = {};
    GetWindowTextA(view.Handle(), caption, sizeof caption);
    EXPECT_STREQ(caption, "Installer");
    // The progress from the error (100), then the Error state.
    EXPECT_EQ(taskbar->calls, (std::vector<std::string>{"100 normal", "100 error"}));

    // A second error adds a line, the first stays.
    view.Logic().ShowError("Zweiter & letzter", "TOmbrel");
    EXPECT_EQ(view.ErrorText(), message + " [TApp.LoadInstruction]\r\nZweiter & letzter [TOmbrel]");
    EXPECT_EQ(view.ProgressText(), "Zweiter & letzter");
    EXPECT_EQ(view.OuterSize().cy, 350);
}

TEST_F(WinMainWindowTest, TheProgressLineIsOneLineWithoutMnemonicsAndShortensPaths) {
    auto created = Create(Missing());
    HWND label = FindWindowExW(created->Handle(), nullptr, L"STATIC", nullptr);
    ASSERT_NE(label, nullptr);
    const LONG style = GetWindowLongW(label, GWL_STYLE);
    EXPECT_TRUE(style & SS_NOPREFIX);
    EXPECT_EQ(style & SS_ELLIPSISMASK, SS_PATHELLIPSIS);
    EXPECT_TRUE(style & SS_CENTERIMAGE);  // single line, vertically centred
    created->Logic().ShowProgress(
        "Kopiere C:\\Users\\A&B\\AppData\\Local\\Temp\\demo\\bin\\demo.exe", 40);
    EXPECT_EQ(created->ProgressText(),
              "Kopiere C:\\Users\\A&B\\AppData\\Local\\Temp\\demo\\bin\\demo.exe");
    HWND marquee = FindWindowExW(created->Handle(), nullptr, PROGRESS_CLASSW, nullptr);
    EXPECT_NE(marquee, nullptr);
}

TEST_F(WinMainWindowTest, TheTaskbarButtonGetsValueAndStateUnchanged) {
    auto created = Create(Missing());
    taskbar->calls.clear();
    created->Logic().ShowProgress("weiter", 150);
    created->Logic().ShowProgress("zurück", -5);
    // The shell's announcement of the button reaches the taskbar seam.
    SendMessageW(created->Handle(), RegisterWindowMessageW(L"TaskbarButtonCreated"), 0, 0);
    EXPECT_EQ(taskbar->calls, (std::vector<std::string>{"150 error", "-5 error", "created"}));
}

TEST_F(WinMainWindowTest, DoneStartsTheProgramThroughTheShellAndCloses) {
    struct Case {
        const char* path;
        bool admin;
        const char* verb;
        const char* directory;
    };
    const Case cases[] = {
        {"C:\\Users\\me\\Temp\\demo\\bin\\demo.exe", true, "runas",
         "C:\\Users\\me\\Temp\\demo\\bin"},
        {"C:\\demo.exe", false, "(none)", "C:\\"},
        {"Z:\\tmp\\a b\\run.cmd", false, "(none)", "Z:\\tmp\\a b"},
    };
    for (const auto& c : cases) {
        shellCalls.clear();
        auto created = Create(Missing());
        const HWND handle = created->Handle();
        created->Logic().Done(c.path, c.admin);
        ASSERT_EQ(shellCalls.size(), 1u) << c.path;
        const TShellCall& call = shellCalls[0];
        EXPECT_EQ(call.size, sizeof(SHELLEXECUTEINFOA)) << c.path;
        EXPECT_EQ(call.mask, 0x500u) << c.path;
        EXPECT_EQ(call.owner, handle) << c.path;
        EXPECT_EQ(call.verb, c.verb) << c.path;
        EXPECT_EQ(call.file, c.path) << c.path;
        EXPECT_EQ(call.parameters, "(none)") << c.path;
        EXPECT_EQ(call.directory, c.directory) << c.path;
        EXPECT_EQ(call.show, SW_SHOWNORMAL) << c.path;
        EXPECT_FALSE(IsWindow(handle)) << "the window closes after the start";
        // The close ends the message loop.
        MSG message;
        EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        window = nullptr;
    }
}

TEST_F(WinMainWindowTest, ProgramPathsGoToTheShellInTheAnsiCodePage) {
    EXPECT_EQ(ProgramFolder("C:\\a\\b.exe"), "C:\\a");
    EXPECT_EQ(ProgramFolder("C:\\b.exe"), "C:\\");
    EXPECT_EQ(ProgramFolder("\\b.exe"), "\\");
    EXPECT_EQ(ProgramFolder("b.exe"), "");
    EXPECT_EQ(ProgramFolder("C:/x/y/b.exe"), "C:/x/y");
    if (GetACP() == 1252) {
        EXPECT_EQ(Utf8ToAnsi("K\xC3\xA4se"), "K\xE4se");
    }
}

TEST_F(WinMainWindowTest, TheUiDispatcherRunsWorkerStepsOnTheWindowThread) {
    auto dispatcher = std::make_shared<TWinUiDispatcher>();
    const DWORD uiThread = GetCurrentThreadId();
    DWORD ranOn = 0;
    std::thread worker([&] { dispatcher->Synchronize([&] { ranOn = GetCurrentThreadId(); }); });
    MSG message;
    while (ranOn == 0 && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    worker.join();
    EXPECT_EQ(ranOn, uiThread);
    // After Shutdown posted steps are dropped.
    dispatcher->Shutdown();
    bool ran = false;
    dispatcher->Post([&] { ran = true; });
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    EXPECT_FALSE(ran);
}

// Presses a task dialog's button once the dialog with `caption` shows.
void PressWhenShown(const wchar_t* caption, int button) {
    std::thread([caption, button] {
        for (int i = 0; i < 1000; ++i) {
            HWND dialog = FindWindowW(nullptr, caption);
            if (dialog) {
                PostMessageW(dialog, TDM_CLICK_BUTTON, static_cast<WPARAM>(button), 0);
                return;
            }
            Sleep(20);
        }
    }).detach();
}

TEST(WinMsgAlerts, TaskDialogsAnswerWithTheButtonPressed) {
    TWinMsgAlerts alerts;
    PressWhenShown(L"Warnung", 1000);  // "Warnungen ignorieren"
    EXPECT_EQ(alerts.ShowAlert(IMsgAlerts::TKind::Warning, "Warnung", "Text", "Details", true),
              IMsgAlerts::TAnswer::Ignore);
    PressWhenShown(L"Fehler", IDCANCEL);
    EXPECT_EQ(alerts.ShowAlert(IMsgAlerts::TKind::Error, "Fehler", "Text", "", false),
              IMsgAlerts::TAnswer::Cancel);
    PressWhenShown(L"Fehler", IDRETRY);
    EXPECT_EQ(alerts.ShowErrorBox("Das Protokoll konnte nicht gespeichert werden.", true),
              IMsgAlerts::TAnswer::Retry);
    alerts.SetShuttingDown();
    EXPECT_EQ(alerts.ShowAlert(IMsgAlerts::TKind::Error, "Fehler", "Text", "", false),
              IMsgAlerts::TAnswer::Ok);
}

}  // namespace
}  // namespace ombrel
