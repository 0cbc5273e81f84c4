#pragma once
// fMain: what the installer's window does, free of any GUI toolkit. A view draws it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "platform/process_launcher.h"
#include "platform/ui_dispatcher.h"

namespace ombrel {

enum class TTaskbarState { Normal, Error };

// A drawing surface for TFrmMain. Every call comes on the UI thread and only mirrors a change
// of TFrmMain's state onto the screen; the view keeps no behaviour of its own. Initially the
// view shows what TFrmMain::TState{} describes.
class IMainView {
  public:
    virtual ~IMainView() = default;

    virtual void SetCaption(const std::string& caption) = 0;
    virtual void SetProgressText(const std::string& text) = 0;
    // The taskbar button's progress: value of a maximum of 100, not clamped, and its state.
    virtual void SetTaskbarProgress(int32_t value, TTaskbarState state) = 0;
    // The window's outer height in pixels; the width stays.
    virtual void SetOuterHeight(int pixels) = 0;
    virtual void SetActivityIndicator(bool running) = 0;
    virtual void AppendErrorLine(const std::string& line) = 0;
    // Handles the window events that are waiting, once, so that changes are painted while a
    // worker waits. Never called while a previous call is still running.
    virtual void ProcessPendingEvents() = 0;
    // The one-shot start timer: after `milliseconds` the view calls TFrmMain::TimerStartTimer.
    virtual void StartTimer(int milliseconds) = 0;
    virtual void StopTimer() = 0;
    // Closes the window, which ends the application.
    virtual void CloseWindow() = 0;
};

// The installer's only window: progress line, activity indicator, taskbar progress, an error
// list that appears when something fails, and on success the start of the installed program.
// It owns the application controller. Everything runs on the UI thread.
class TFrmMain {
  public:
    static constexpr int kClientWidth = 507;
    static constexpr int kClientHeight = 40;
    // The outer height after an error, which leaves room for the error list.
    static constexpr int kErrorHeight = 350;
    static constexpr int kStartDelayMs = 1000;
    static constexpr const char* kInitialCaption = "Installer";
    static constexpr const char* kInitialProgress = "Bereite vor...";
    static constexpr const char* kErrorCaption = "Fehler";

    // What is on the screen.
    struct TState {
        std::string caption = kInitialCaption;
        std::string progressText = kInitialProgress;
        int32_t taskbarValue = 0;
        TTaskbarState taskbarState = TTaskbarState::Normal;
        // 0 until an error grows the window; then kErrorHeight.
        int outerHeight = 0;
        bool indicatorRunning = true;
        std::vector<std::string> errorLines;
        bool timerEnabled = false;
        bool closed = false;
    };

    // `view` must outlive this object. `dispatcher` is the UI thread's hand-off for the run;
    // `launcher` starts the installed program. `resourceReader` replaces the reading of the
    // program's own instruction trailer (tests); empty means the trailer.
    TFrmMain(IMainView& view, IUiDispatcherPtr dispatcher, IProcessLauncherPtr launcher,
             TApp::TResourceReader resourceReader = {});
    ~TFrmMain();
    TFrmMain(const TFrmMain&) = delete;
    TFrmMain& operator=(const TFrmMain&) = delete;

    // The start sequence, while the window is created and before it is shown: reads the
    // switches "h" and "-update-channel" from `arguments` (those after the program name),
    // creates the controller, loads the instruction and enables the start timer only when that
    // succeeded.
    void FormCreate(const std::vector<std::string>& arguments);
    // The start timer fired: runs the installation, once.
    void TimerStartTimer();

    // The controller's four callbacks.
    void AssignTitle(const std::string& title);
    void ShowProgress(const std::string& caption, int32_t percent);
    void ShowError(const std::string& msg, const std::string& sender);
    // Stops the indicator, starts the program (its result is not looked at) and closes.
    void Done(const std::string& path, bool runAsAdmin);

    const TState& State() const { return iState; }
    TApp* App() const { return iApp.get(); }

  private:
    IMainView& iView;
    IUiDispatcherPtr iDispatcher;
    IProcessLauncherPtr iLauncher;
    TApp::TResourceReader iResourceReader;
    std::unique_ptr<TApp> iApp;
    TState iState;
    bool iProcessingEvents = false;
};

}  // namespace ombrel
