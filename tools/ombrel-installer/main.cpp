// ombrel-installer: the graphical web installer. Its instruction is a trailer written by
// ombrel-stamp; its switches are -h <server base URL> and --update-channel <channel>.

#include <unistd.h>
#include <wx/app.h>
#include <wx/init.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/silent_run.h"
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
        iStarted = true;
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
        // The handler's end writes its log. It ends here, while the toolkit can still show the
        // box that offers to retry a log file that cannot be written.
        ombrel::ReplaceMsgHandler(nullptr);
        return wxApp::OnExit();
    }

    // Whether the toolkit came up (it does not without a usable display).
    static inline bool iStarted = false;

  private:
    std::vector<std::string> iArguments;
    std::shared_ptr<ombrel::TWxMsgAlerts> iAlerts;
};

}  // namespace

int main(int argc, char** argv) {
    wxSetAssertHandler(ReportAssert);
    // Read before the toolkit sees (and may strip) its own options.
    auto arguments = ombrel::CommandLineArguments(argc, argv);
    const std::string program = argc > 0 ? std::filesystem::path(argv[0]).filename().string()
                                         : "ombrel-installer";
    if (ombrel::WantsHelp(arguments)) {
        std::fputs(ombrel::InstallerUsage(program).c_str(), stdout);
        return 0;
    }
    int exitCode = 0;
    if (ombrel::WantsSilent(arguments)) {
        exitCode = ombrel::RunSilent(arguments, std::cerr);
    } else {
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if ((display == nullptr || *display == '\0') && (wayland == nullptr || *wayland == '\0')) {
            std::fprintf(stderr,
                         "%s: no graphical display (DISPLAY is not set); run it with --silent "
                         "to install without a window\n",
                         program.c_str());
            return 1;
        }
        wxApp::SetInstance(new TInstallerApp(std::move(arguments)));
        exitCode = wxEntry(argc, argv);
        if (!TInstallerApp::iStarted) {
            std::fprintf(stderr,
                         "%s: cannot open the display \"%s\"; run it with --silent to install "
                         "without a window\n",
                         program.c_str(), display != nullptr ? display : "");
            exitCode = 1;
        }
    }

    // A handler made after the toolkit ended (none, normally) writes its log here; then the
    // process ends without waiting for a run that the user abandoned by closing the window
    // (its worker may still be busy).
    ombrel::ReplaceMsgHandler(nullptr);
    std::fflush(nullptr);
    ::_exit(exitCode);
}
