// The installer's window drawn by wxWidgets, created for real on the test run's display. The
// test program carries no instruction, so the window starts with the failed-load error.

#include "app/wx_main_frame.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/wx_ui_dispatcher.h"

namespace ombrel {
namespace {

// The texts of every label of the window, as the user reads them.
std::vector<std::string> LabelTexts(wxWindow* window) {
    std::vector<std::string> texts;
    std::function<void(wxWindow*)> collect = [&](wxWindow* parent) {
        for (wxWindow* child : parent->GetChildren()) {
            if (auto* label = dynamic_cast<wxStaticText*>(child)) {
                texts.push_back(label->GetLabelText().utf8_string());
            }
            collect(child);
        }
    };
    collect(window);
    return texts;
}

wxTextCtrl* ErrorList(wxWindow* window) {
    for (wxWindow* child : window->GetChildren()) {
        if (auto* list = dynamic_cast<wxTextCtrl*>(child)) return list;
        if (wxTextCtrl* found = ErrorList(child)) return found;
    }
    return nullptr;
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
    for (const auto& t : texts) {
        if (t == text) return true;
    }
    return false;
}

class WxMainFrameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::getenv("DISPLAY")) GTEST_SKIP() << "no display (scripts/test.sh provides one)";
        ASSERT_NE(wxTheApp, nullptr) << "wxWidgets could not be initialised";
        frame = new TWxMainFrame({}, std::make_shared<TWxUiDispatcher>(), nullptr);
    }
    void TearDown() override {
        if (frame) frame->Destroy();
    }

    TWxMainFrame* frame = nullptr;
};

TEST_F(WxMainFrameTest, AFailedLoadIsShownAt350PixelsWithTheErrorList) {
    const std::string line =
        "Anweisungen konnten nicht geladen werden: Ressource instruction nicht gefunden";
    EXPECT_EQ(frame->GetTitle().utf8_string(), "Installer");
    EXPECT_EQ(frame->GetClientSize().x, 507);
    EXPECT_EQ(frame->GetSize().y, 350);
    const auto labels = LabelTexts(frame);
    EXPECT_TRUE(Contains(labels, "Fehler")) << ::testing::PrintToString(labels);
    wxTextCtrl* list = ErrorList(frame);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->GetValue().utf8_string(), line + " [TApp.LoadInstruction]");
    EXPECT_FALSE(frame->Logic().State().timerEnabled);
}

TEST_F(WxMainFrameTest, TheProgressLineShowsItsTextAsItIs) {
    for (const std::string text : {"Tom & Jerry", "100 % && mehr", "Bereite vor..."}) {
        frame->Logic().ShowProgress(text, 5);
        const auto labels = LabelTexts(frame);
        EXPECT_TRUE(Contains(labels, text)) << ::testing::PrintToString(labels);
    }
}

TEST_F(WxMainFrameTest, TextThatIsNotValidUtf8IsShownWithReplacementCharacters) {
    // A file name from an archive or a server text may hold bytes that are no UTF-8; the line
    // must still show, with U+FFFD for each bad byte.
    frame->Logic().ShowProgress("extract /tmp/caf\xE9.txt", 5);
    const auto labels = LabelTexts(frame);
    EXPECT_TRUE(Contains(labels, "extract /tmp/caf\xEF\xBF\xBD.txt")) << ::testing::PrintToString(labels);
    frame->Logic().ShowError("bad \xFF\xFE name", "TIO");
    wxTextCtrl* list = ErrorList(frame);
    ASSERT_NE(list, nullptr);
    EXPECT_NE(list->GetValue().utf8_string().find("bad \xEF\xBF\xBD\xEF\xBF\xBD name [TIO]"),
              std::string::npos)
        << list->GetValue().utf8_string();
}

}  // namespace
}  // namespace ombrel
