#pragma once
// The installer's window drawn with wxWidgets. It only draws: TFrmMain decides.

#include <wx/frame.h>
#include <wx/timer.h>

#include <memory>
#include <string>
#include <vector>

#include "app/main_form.h"

class wxActivityIndicator;
class wxAppProgressIndicator;
class wxPanel;
class wxStaticText;
class wxTextCtrl;

namespace ombrel {

// A fixed-size frame with a client area of 507×40: the activity indicator and the progress
// line on top, and below them the error panel ("Fehler" and a read-only list), which gets room
// only when the window grows. It owns its TFrmMain and runs its start sequence while it is
// created, before it is shown. Closing it shuts `dispatcher` down, so that steps of a run still
// in progress no longer reach the window.
class TWxMainFrame : public wxFrame, public IMainView {
  public:
    TWxMainFrame(const std::vector<std::string>& arguments, IUiDispatcherPtr dispatcher,
                 IProcessLauncherPtr launcher);
    ~TWxMainFrame() override;

    // Centres the window on the screen, shows it and brings it to the front.
    void ShowCentred();

    TFrmMain& Logic() { return *iLogic; }

    // IMainView
    void SetCaption(const std::string& caption) override;
    void SetProgressText(const std::string& text) override;
    void SetTaskbarProgress(int32_t value, TTaskbarState state) override;
    void SetOuterHeight(int pixels) override;
    void SetActivityIndicator(bool running) override;
    void AppendErrorLine(const std::string& line) override;
    void ProcessPendingEvents() override;
    void StartTimer(int milliseconds) override;
    void StopTimer() override;
    void CloseWindow() override;

  private:
    void LayoutControls();
    void OnSize(wxSizeEvent& event);
    void OnTimer(wxTimerEvent& event);
    void OnClose(wxCloseEvent& event);

    IUiDispatcherPtr iDispatcher;
    wxPanel* iPnTop = nullptr;
    wxActivityIndicator* iActivityIndicator = nullptr;
    wxStaticText* iLbProgress = nullptr;
    wxPanel* iPnError = nullptr;
    wxStaticText* iLbErrorCaption = nullptr;
    wxTextCtrl* iMemError = nullptr;
    wxTimer iTimerStart;
    std::unique_ptr<wxAppProgressIndicator> iTaskbar;
    wxString iProgressText;
    std::unique_ptr<TFrmMain> iLogic;
};

}  // namespace ombrel
