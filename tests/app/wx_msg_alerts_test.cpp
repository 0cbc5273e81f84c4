// The message handler's dialogs, shown for real and answered by pressing their buttons.

#include "app/wx_msg_alerts.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/collpane.h>
#include <wx/dialog.h>
#include <wx/init.h>
#include <wx/msgdlg.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace ombrel {
namespace {

void IgnoreAssert(const wxString&, int, const wxString&, const wxString&, const wxString&) {}

// In sanitizer builds: GTK, GLib, fontconfig and D-Bus keep caches for the life of the process,
// which LeakSanitizer would report as leaks of this test program.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\nleak:libgtk-3.so\nleak:libgdk-3.so\nleak:libdbus-1.so\n"
           "leak:libpango\nleak:libharfbuzz.so\nleak:libcairo.so\nleak:libatk\n";
}

// One wxApp for the whole test program, when there is a display.
class WxEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) return;
        wxSetAssertHandler(IgnoreAssert);
        static int argc = 1;
        static char name[] = "app_wx_tests";
        static char* argv[] = {name, nullptr};
        wxApp::SetInstance(new wxApp());
        ready = wxEntryStart(argc, argv) && wxTheApp->CallOnInit();
    }
    void TearDown() override {
        if (ready) wxEntryCleanup();
    }
    static bool ready;
};
bool WxEnvironment::ready = false;
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new WxEnvironment);

// What a shown dialog looked like.
struct Seen {
    std::string title;
    std::string message;
    std::vector<std::string> buttons;
    bool details = false;
};

void Collect(wxWindow* window, Seen& seen) {
    for (wxWindow* child : window->GetChildren()) {
        if (auto* button = dynamic_cast<wxButton*>(child)) {
            seen.buttons.push_back(button->GetLabel().utf8_string());
        }
        if (dynamic_cast<wxCollapsiblePane*>(child)) seen.details = true;
        Collect(child, seen);
    }
}

wxDialog* ModalDialog() {
    for (wxWindow* window : wxTopLevelWindows) {
        auto* dialog = dynamic_cast<wxDialog*>(window);
        if (dialog && dialog->IsModal() && dialog->IsShown()) return dialog;
    }
    return nullptr;
}

// Once the dialog is up, records it and presses the button labelled `press`.
void PressWhenShown(Seen& seen, const std::string& press) {
    wxTheApp->CallAfter([&seen, press] {
        wxDialog* dialog = ModalDialog();
        if (!dialog) {
            PressWhenShown(seen, press);
            return;
        }
        seen.title = dialog->GetTitle().utf8_string();
        if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog)) {
            seen.message = box->GetMessage().utf8_string();
        }
        Collect(dialog, seen);
        wxButton* target = nullptr;
        std::function<void(wxWindow*)> find = [&](wxWindow* window) {
            for (wxWindow* child : window->GetChildren()) {
                auto* button = dynamic_cast<wxButton*>(child);
                if (button && button->GetLabel().utf8_string() == press) target = button;
                find(child);
            }
        };
        find(dialog);
        if (!target) {
            dialog->EndModal(wxID_ABORT);
            return;
        }
        wxCommandEvent click(wxEVT_BUTTON, target->GetId());
        click.SetEventObject(target);
        target->GetEventHandler()->ProcessEvent(click);
    });
}

class WxMsgAlertsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display (scripts/test.sh provides one)";
        ASSERT_TRUE(WxEnvironment::ready)
            << "wxWidgets could not be initialised on DISPLAY=" << std::getenv("DISPLAY");
    }
    TWxMsgAlerts alerts;
};

using TKind = IMsgAlerts::TKind;
using TAnswer = IMsgAlerts::TAnswer;

TEST_F(WxMsgAlertsTest, AWarningOffersToIgnoreAndEachButtonGivesItsAnswer) {
    const std::pair<const char*, TAnswer> presses[] = {
        {"OK", TAnswer::Ok},
        {"Warnungen ignorieren", TAnswer::Ignore},
        {"Abbrechen", TAnswer::Cancel},
    };
    for (const auto& [press, answer] : presses) {
        SCOPED_TRACE(press);
        Seen seen;
        PressWhenShown(seen, press);
        EXPECT_EQ(alerts.ShowAlert(TKind::Warning, "Warnung", "Es sind 2 Warnungen aufgetreten",
                                   "Warnung: eins\r\nWarnung: zwei", true),
                  answer);
        EXPECT_EQ(seen.title, "Warnung");
        EXPECT_EQ(seen.message, "Es sind 2 Warnungen aufgetreten");
        EXPECT_TRUE(seen.details) << "the details are expandable";
        std::sort(seen.buttons.begin(), seen.buttons.end());
        EXPECT_EQ(seen.buttons,
                  (std::vector<std::string>{"Abbrechen", "OK", "Warnungen ignorieren"}));
    }
}

TEST_F(WxMsgAlertsTest, AnErrorWithoutDetailsHasOkAndCancelOnly) {
    Seen seen;
    PressWhenShown(seen, "OK");
    EXPECT_EQ(alerts.ShowAlert(TKind::Error, "Fehler", "Zeile 1\r\nZeile 2", "", false),
              TAnswer::Ok);
    EXPECT_EQ(seen.title, "Fehler");
    EXPECT_EQ(seen.message, "Zeile 1\nZeile 2");
    EXPECT_FALSE(seen.details);
    std::sort(seen.buttons.begin(), seen.buttons.end());
    EXPECT_EQ(seen.buttons, (std::vector<std::string>{"Abbrechen", "OK"}));
}

TEST_F(WxMsgAlertsTest, TheErrorBoxOffersRetryWhenAsked) {
    Seen seen;
    PressWhenShown(seen, "Wiederholen");
    EXPECT_EQ(alerts.ShowErrorBox("Das Protokoll konnte nicht gespeichert werden.", true),
              TAnswer::Retry);
    std::sort(seen.buttons.begin(), seen.buttons.end());
    EXPECT_EQ(seen.buttons, (std::vector<std::string>{"OK", "Wiederholen"}));

    Seen plain;
    PressWhenShown(plain, "OK");
    EXPECT_EQ(alerts.ShowErrorBox("MessageHandler korrupt!", false), TAnswer::Ok);
    EXPECT_EQ(plain.buttons, (std::vector<std::string>{"OK"}));
}

TEST_F(WxMsgAlertsTest, IgnoringThroughTheDialogSilencesTheSenderInTheHandler) {
    auto shared = std::make_shared<TWxMsgAlerts>();
    TMsgHandler handler(shared);
    handler.DefaultLog.Active = false;
    Seen seen;
    PressWhenShown(seen, "Warnungen ignorieren");
    handler.Warning("Datei fehlt", "Unit.Routine");
    EXPECT_EQ(seen.title, "Warnung");
    EXPECT_TRUE(handler.Ignored("unit.routine"));
}

TEST_F(WxMsgAlertsTest, OnceTheApplicationIsEndingOnlyTheErrorBoxShows) {
    alerts.SetShuttingDown();
    EXPECT_TRUE(alerts.IsShuttingDown());
    // Would hang if a modal dialog were shown: nothing presses its buttons.
    EXPECT_EQ(alerts.ShowAlert(TKind::Warning, "Warnung", "w", "", true), TAnswer::Ok);
    // The log is written as the application ends; losing it must not go unseen.
    Seen seen;
    PressWhenShown(seen, "Wiederholen");
    EXPECT_EQ(alerts.ShowErrorBox("Das Protokoll konnte nicht gespeichert werden.", true),
              TAnswer::Retry);
    EXPECT_EQ(seen.title, "Fehler");
}

}  // namespace
}  // namespace ombrel
