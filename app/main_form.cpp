#include "app/main_form.h"

#include <fmt/printf.h>

#include <utility>

#include "app/command_line.h"

namespace ombrel {

TFrmMain::TFrmMain(IMainView& view, IUiDispatcherPtr dispatcher, IProcessLauncherPtr launcher,
                   TApp::TResourceReader resourceReader)
    : iView(view),
      iDispatcher(std::move(dispatcher)),
      iLauncher(std::move(launcher)),
      iResourceReader(std::move(resourceReader)) {}

TFrmMain::~TFrmMain() = default;

void TFrmMain::FormCreate(const std::vector<std::string>& arguments) {
    const TStartSwitches switches = ReadStartSwitches(arguments);
    auto onProgress = [this](const std::string& caption, int32_t percent) {
        ShowProgress(caption, percent);
    };
    auto onDone = [this](const std::string& path, bool runAsAdmin) { Done(path, runAsAdmin); };
    auto onError = [this](const std::string& msg, const std::string& sender) {
        ShowError(msg, sender);
    };
    auto onTitle = [this](const std::string& title) { AssignTitle(title); };
    if (iResourceReader) {
        iApp = std::make_unique<TApp>(switches.host, switches.updateChannel, onProgress, onDone,
                                      onError, onTitle, iResourceReader);
    } else {
        iApp = std::make_unique<TApp>(switches.host, switches.updateChannel, onProgress, onDone,
                                      onError, onTitle);
    }
    iApp->SetUiDispatcher(iDispatcher);
    if (iApp->Prepare()) {
        iState.timerEnabled = true;
        iView.StartTimer(kStartDelayMs);
    }
}

void TFrmMain::TimerStartTimer() {
    if (!iState.timerEnabled) return;
    iState.timerEnabled = false;
    iView.StopTimer();
    iApp->Execute();
}

void TFrmMain::AssignTitle(const std::string& title) {
    iState.caption = title;
    iView.SetCaption(title);
}

void TFrmMain::ShowProgress(const std::string& caption, int32_t percent) {
    iState.progressText = caption;
    iView.SetProgressText(caption);
    iState.taskbarValue = percent;
    iView.SetTaskbarProgress(percent, iState.taskbarState);
    // Painting while the worker waits may run other events, and with them another report.
    if (iProcessingEvents) return;
    iProcessingEvents = true;
    try {
        iView.ProcessPendingEvents();
    } catch (...) {
        iProcessingEvents = false;
        throw;
    }
    iProcessingEvents = false;
}

void TFrmMain::ShowError(const std::string& msg, const std::string& sender) {
    const std::string line = fmt::sprintf("%s [%s]", msg, sender);
    iState.errorLines.push_back(line);
    iView.AppendErrorLine(line);
    ShowProgress(msg, 100);
    iState.taskbarState = TTaskbarState::Error;
    iView.SetTaskbarProgress(iState.taskbarValue, iState.taskbarState);
    iState.outerHeight = kErrorHeight;
    iView.SetOuterHeight(kErrorHeight);
    iState.indicatorRunning = false;
    iView.SetActivityIndicator(false);
}

void TFrmMain::Done(const std::string& path, bool runAsAdmin) {
    iState.indicatorRunning = false;
    iView.SetActivityIndicator(false);
    if (iLauncher) iLauncher->StartProgram(path, runAsAdmin);
    iState.closed = true;
    iView.CloseWindow();
}

}  // namespace ombrel
