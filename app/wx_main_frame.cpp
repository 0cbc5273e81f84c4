#include "app/wx_main_frame.h"

#include <wx/activityindicator.h>
#include <wx/app.h>
#include <wx/appprogress.h>
#include <wx/evtloop.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <algorithm>

#include "io/text.h"

namespace ombrel {
namespace {

// Layout at 96 pixels per inch, in pixels.
constexpr int kMargin = 3;
constexpr int kTopHeight = 32;
constexpr int kLabelLeft = 50;
constexpr int kErrorTopMargin = 10;
constexpr int kFontHeight = 13;
constexpr int kMemoFontHeight = 11;

// Bytes that are no UTF-8 (a file name from an archive, say) become U+FFFD; the toolkit would
// otherwise turn the whole text into nothing.
wxString ToWx(const std::string& text) {
    const std::string utf8 = DecodeText(text, TTextEncoding::Utf8);
    return wxString::FromUTF8(utf8.data(), utf8.size());
}

// Tahoma where installed; Pango picks a similar face (DejaVu Sans) otherwise.
wxFont InstallerFont(int pixelHeight) {
    return wxFont(wxSize(0, pixelHeight), wxFONTFAMILY_SWISS, wxFONTSTYLE_NORMAL,
                  wxFONTWEIGHT_NORMAL, false, "Tahoma");
}

}  // namespace

TWxMainFrame::TWxMainFrame(const std::vector<std::string>& arguments, IUiDispatcherPtr dispatcher,
                           IProcessLauncherPtr launcher)
    : wxFrame(nullptr, wxID_ANY, TFrmMain::kInitialCaption, wxDefaultPosition, wxDefaultSize,
              wxCAPTION | wxSYSTEM_MENU | wxMINIMIZE_BOX | wxCLOSE_BOX),
      iDispatcher(dispatcher),
      iTimerStart(this),
      iProgressText(ToWx(TFrmMain::kInitialProgress)) {
    SetFont(InstallerFont(kFontHeight));
    SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOW));

    iPnTop = new wxPanel(this);
    iActivityIndicator = new wxActivityIndicator(iPnTop, wxID_ANY, wxPoint(kMargin, 0));
    iLbProgress = new wxStaticText(iPnTop, wxID_ANY, iProgressText, wxDefaultPosition,
                                   wxDefaultSize, wxST_NO_AUTORESIZE);
    iPnError = new wxPanel(this);
    iLbErrorCaption = new wxStaticText(iPnError, wxID_ANY, ToWx(TFrmMain::kErrorCaption));
    iMemError = new wxTextCtrl(iPnError, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                               wxTE_MULTILINE | wxTE_READONLY | wxVSCROLL);
    iMemError->SetFont(InstallerFont(kMemoFontHeight));
    iTaskbar = std::make_unique<wxAppProgressIndicator>(this, 100);

    SetClientSize(TFrmMain::kClientWidth, TFrmMain::kClientHeight);
    Bind(wxEVT_SIZE, &TWxMainFrame::OnSize, this);
    Bind(wxEVT_TIMER, &TWxMainFrame::OnTimer, this, iTimerStart.GetId());
    Bind(wxEVT_CLOSE_WINDOW, &TWxMainFrame::OnClose, this);
    iActivityIndicator->Start();
    LayoutControls();

    iLogic = std::make_unique<TFrmMain>(*this, std::move(dispatcher), std::move(launcher));
    iLogic->FormCreate(arguments);
}

TWxMainFrame::~TWxMainFrame() {
    iTimerStart.Stop();
    if (iDispatcher) iDispatcher->Shutdown();
}

void TWxMainFrame::ShowCentred() {
    Centre(wxBOTH);
    Show();
    Raise();
}

void TWxMainFrame::LayoutControls() {
    const wxSize client = GetClientSize();
    const int width = std::max(0, client.x - 2 * kMargin);
    iPnTop->SetSize(kMargin, kMargin, width, kTopHeight);

    // The progress line fills the top panel right of the indicator, vertically centred.
    const int labelWidth = std::max(1, width - kLabelLeft - kMargin);
    // Shown as it is: an '&' in a message or a path is no mnemonic.
    iLbProgress->SetLabelText(iProgressText);
    iLbProgress->Wrap(labelWidth);
    // Without auto-resizing the control keeps the best size of an earlier text.
    iLbProgress->InvalidateBestSize();
    const int labelHeight = std::min(kTopHeight, iLbProgress->GetBestSize().y);
    iLbProgress->SetSize(kLabelLeft, (kTopHeight - labelHeight) / 2, labelWidth, labelHeight);

    const int errorTop = kMargin + kTopHeight + kMargin + kErrorTopMargin;
    const int errorHeight = client.y - errorTop - kMargin;
    if (errorHeight <= 0) {
        iPnError->Hide();
        return;
    }
    iPnError->SetSize(kMargin, errorTop, width, errorHeight);
    const int captionHeight = iLbErrorCaption->GetBestSize().y;
    iLbErrorCaption->SetSize(kMargin, kMargin, std::max(0, width - 2 * kMargin), captionHeight);
    const int memoTop = kMargin + captionHeight + 2 * kMargin;
    iMemError->SetSize(kMargin, memoTop, std::max(0, width - 2 * kMargin),
                       std::max(0, errorHeight - memoTop - kMargin));
    iPnError->Show();
}

void TWxMainFrame::OnSize(wxSizeEvent& event) {
    LayoutControls();
    event.Skip();
}

void TWxMainFrame::OnTimer(wxTimerEvent&) {
    iLogic->TimerStartTimer();
}

void TWxMainFrame::OnClose(wxCloseEvent&) {
    // From here on nothing of a run in progress may reach this window.
    iTimerStart.Stop();
    if (iDispatcher) iDispatcher->Shutdown();
    Destroy();
}

void TWxMainFrame::SetCaption(const std::string& caption) {
    SetTitle(ToWx(caption));
}

void TWxMainFrame::SetProgressText(const std::string& text) {
    iProgressText = ToWx(text);
    LayoutControls();
}

void TWxMainFrame::SetTaskbarProgress(int32_t value, TTaskbarState) {
    // The toolkit's indicator knows no error state (TFrmMain keeps it) and only takes values
    // within its range; on GTK it does nothing at all.
    if (iTaskbar->IsAvailable() && value >= 0 && value <= 100) iTaskbar->SetValue(value);
}

void TWxMainFrame::SetOuterHeight(int pixels) {
    SetSize(wxSize(GetSize().x, pixels));
    LayoutControls();
}

void TWxMainFrame::SetActivityIndicator(bool running) {
    if (running) {
        iActivityIndicator->Start();
    } else {
        iActivityIndicator->Stop();
    }
}

void TWxMainFrame::AppendErrorLine(const std::string& line) {
    if (!iMemError->IsEmpty()) iMemError->AppendText("\n");
    iMemError->AppendText(ToWx(line));
}

void TWxMainFrame::ProcessPendingEvents() {
    // Before the main loop runs (a failed load during start-up) there is nothing to process.
    if (!wxEventLoopBase::GetActive() || !wxTheApp) return;
    Update();
    wxTheApp->Yield(true);
}

void TWxMainFrame::StartTimer(int milliseconds) {
    iTimerStart.StartOnce(milliseconds);
}

void TWxMainFrame::StopTimer() {
    iTimerStart.Stop();
}

void TWxMainFrame::CloseWindow() {
    Close(true);
}

}  // namespace ombrel
