// ombrel-demo-app: the small application that the demo publishes and installs. It shows that it
// was started: it writes "ombrel-demo-started.txt" into its working folder (which the installer
// sets to the program's own folder) and opens a small window.
//
// Environment: OMBREL_DEMO_CLOSE_AFTER=<seconds> closes the window by itself after that time.

#include <unistd.h>
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/panel.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

const char kMarker[] = "ombrel-demo-started.txt";

// Written under a temporary name and renamed, so a watcher never reads half a marker.
bool WriteMarker(int argc) {
    std::error_code ec;
    const std::string folder = std::filesystem::current_path(ec).string();
    const std::string program = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    const std::string temporary = std::string(kMarker) + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << "started\n"
            << "pid=" << ::getpid() << "\n"
            << "program=" << program << "\n"
            << "folder=" << folder << "\n"
            << "arguments=" << (argc - 1) << "\n";
        out.flush();
        if (!out) return false;
    }
    return std::rename(temporary.c_str(), kMarker) == 0;
}

class TDemoApp : public wxApp {
  public:
    bool OnInit() override {
        if (!WriteMarker(argc)) std::fprintf(stderr, "ombrel-demo-app: cannot write %s\n", kMarker);
        auto* frame = new wxFrame(nullptr, wxID_ANY, "Ombrel Demo", wxDefaultPosition,
                                  wxDefaultSize, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
        auto* panel = new wxPanel(frame);
        auto* sizer = new wxBoxSizer(wxVERTICAL);
        std::error_code ec;
        const wxString text =
            wxString::FromUTF8(("Die Demo-Anwendung wurde installiert und gestartet.\n\nOrdner: " +
                                std::filesystem::current_path(ec).string())
                                   .c_str());
        sizer->Add(new wxStaticText(panel, wxID_ANY, text), 1, wxALL | wxEXPAND, 16);
        panel->SetSizer(sizer);
        sizer->SetSizeHints(frame);
        frame->Centre();
        frame->Show();

        if (const char* after = std::getenv("OMBREL_DEMO_CLOSE_AFTER")) {
            const int seconds = std::atoi(after);
            if (seconds > 0) {
                iCloseTimer.Bind(wxEVT_TIMER, [frame](wxTimerEvent&) { frame->Close(true); });
                iCloseTimer.StartOnce(seconds * 1000);
            }
        }
        return true;
    }

  private:
    wxTimer iCloseTimer;
};

}  // namespace

wxIMPLEMENT_APP(TDemoApp);
