// ombrel-installer: the graphical web installer. Its instruction is a trailer written by
// ombrel-stamp; its switches are -h <server base URL> and --update-channel <channel>.

#include <unistd.h>
#include <wx/app.h>
#include <wx/init.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/wx_main_frame.h"
#include "app/wx_msg_alerts.h"
#include "app/wx_ui_dispatcher.h"
#include "messages/msg.h"
#include "platform/process_launcher.h"

namespace {

// A failed wxASSERT would open a modal dialog and hang a run without a user; report it instead.
void ReportAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
    std::fprintf(stderr, "ombrel-installer: assertion \"%s\" failed in %s (%s:%d) %s\n",
                 cond.utf8_str().data(), func.utf8_str().data(), file.utf8_str().data(), line,
                 msg.utf8_str().data());
}

class TInstallerApp : public wxApp {
  public:
    explicit TInstallerApp(std::vector<std::string> arguments) : iArguments(std::move(arguments)) {}

    bool OnInit() override {
        // The base OnInit would parse the command line itself and refuse our switches.
        iAlerts = std::make_shared<ombrel::TWxMsgAlerts>();
        ombrel::MsgHandler().SetAlerts(iAlerts);
        auto* frame =
            new ombrel::TWxMainFrame(iArguments, std::make_shared<ombrel::TWxUiDispatcher>(),
                                     std::make_shared<ombrel::TProcessLauncher>());
        SetTopWindow(frame);
        frame->ShowCentred();
        return true;
    }

    int OnExit() override {
        iAlerts->SetShuttingDown();
        return wxApp::OnExit();
    }

  private:
    std::vector<std::string> iArguments;
    std::shared_ptr<ombrel::TWxMsgAlerts> iAlerts;
};

}  // namespace

int main(int argc, char** argv) {
    wxSetAssertHandler(ReportAssert);
    // Read before the toolkit sees (and may strip) its own options.
    auto arguments = ombrel::CommandLineArguments(argc, argv);
    wxApp::SetInstance(new TInstallerApp(std::move(arguments)));
    const int exitCode = wxEntry(argc, argv);

    // The message handler's end writes its log; then the process ends without waiting for a
    // run that the user abandoned by closing the window (its worker may still be busy).
    ombrel::MsgHandler().SetAlerts(nullptr);
    ombrel::ReplaceMsgHandler(nullptr);
    std::fflush(nullptr);
    ::_exit(exitCode);
}
