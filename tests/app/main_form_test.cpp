#include "app/main_form.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/norva_go_crypt.h"
#include "ombrel/build_config.h"

namespace ombrel {
namespace {

const char* StateName(TTaskbarState state) {
    return state == TTaskbarState::Error ? "Error" : "Normal";
}

// Records every drawing call as one line.
class RecordingView : public IMainView {
  public:
    void SetCaption(const std::string& caption) override { calls.push_back("caption:" + caption); }
    void SetProgressText(const std::string& text) override { calls.push_back("label:" + text); }
    void SetTaskbarProgress(int32_t value, TTaskbarState state) override {
        calls.push_back("taskbar:" + std::to_string(value) + ":" + StateName(state));
    }
    void SetOuterHeight(int pixels) override {
        calls.push_back("height:" + std::to_string(pixels));
    }
    void SetActivityIndicator(bool running) override {
        calls.push_back(running ? "indicator:on" : "indicator:off");
    }
    void AppendErrorLine(const std::string& line) override { calls.push_back("error:" + line); }
    void ProcessPendingEvents() override {
        calls.push_back("events");
        if (onEvents) onEvents();
    }
    void StartTimer(int milliseconds) override {
        calls.push_back("timer:" + std::to_string(milliseconds));
    }
    void StopTimer() override { calls.push_back("timer:stop"); }
    void CloseWindow() override { calls.push_back("close"); }

    std::vector<std::string> calls;
    // Runs inside ProcessPendingEvents, as another window event would.
    std::function<void()> onEvents;
};

class RecordingLauncher : public IProcessLauncher {
  public:
    bool StartProgram(const std::string& path, bool runAsAdmin) override {
        calls->push_back("start:" + path + (runAsAdmin ? ":admin" : ""));
        return false;  // the window must not care
    }
    std::vector<std::string>* calls;
};

class MainFormTest : public ::testing::Test {
  protected:
    MainFormTest() { launcher->calls = &view.calls; }

    // A resource reader that hands out `json` encrypted with the built-in password.
    static TApp::TResourceReader Instruction(const std::string& json) {
        return [json](std::string& bytes, std::string& error) {
            return EncryptEnvelopeV2(ombrel::build::kInstructionPassword, json, bytes, error);
        };
    }

    RecordingView view;
    std::shared_ptr<RecordingLauncher> launcher = std::make_shared<RecordingLauncher>();
    std::shared_ptr<TEventLoopDispatcher> ui = std::make_shared<TEventLoopDispatcher>();
};

TEST_F(MainFormTest, ProgressAndErrorsChangeLabelTaskbarHeightAndList) {
    TFrmMain form(view, ui, launcher);
    form.ShowProgress("Lade", 10);
    EXPECT_EQ(view.calls, (std::vector<std::string>{"label:Lade", "taskbar:10:Normal", "events"}));

    view.calls.clear();
    form.ShowError("Erster", "TOmbrel");
    form.ShowError("Zweiter", "TApp.Execute");
    EXPECT_EQ(view.calls, (std::vector<std::string>{
                              "error:Erster [TOmbrel]", "label:Erster", "taskbar:100:Normal",
                              "events", "taskbar:100:Error", "height:350", "indicator:off",
                              "error:Zweiter [TApp.Execute]", "label:Zweiter", "taskbar:100:Error",
                              "events", "taskbar:100:Error", "height:350", "indicator:off"}));

    // Progress after an error: label and value change, state and indicator stay; no clamping.
    for (int32_t percent : {150, -5}) {
        form.ShowProgress("Weiter", percent);
        EXPECT_EQ(form.State().taskbarValue, percent);
    }
    const auto& state = form.State();
    EXPECT_EQ(state.progressText, "Weiter");
    EXPECT_EQ(state.taskbarState, TTaskbarState::Error);
    EXPECT_FALSE(state.indicatorRunning);
    EXPECT_EQ(state.outerHeight, 350);
    EXPECT_EQ(state.errorLines,
              (std::vector<std::string>{"Erster [TOmbrel]", "Zweiter [TApp.Execute]"}));
    EXPECT_EQ(state.caption, "Installer");
}

TEST_F(MainFormTest, AReportArrivingWhileEventsAreProcessedDoesNotProcessThemAgain) {
    TFrmMain form(view, ui, launcher);
    int nested = 0;
    view.onEvents = [&] {
        if (nested++ == 0) form.ShowError("innen", "x");
    };
    form.ShowProgress("aussen", 1);
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(form.State().progressText, "innen");
    // The processing flag is released again afterwards.
    form.ShowProgress("danach", 2);
    EXPECT_EQ(nested, 2);
}

TEST_F(MainFormTest, DoneStopsTheIndicatorStartsTheProgramAndCloses) {
    for (bool admin : {false, true}) {
        view.calls.clear();
        TFrmMain form(view, ui, launcher);
        form.Done("/tmp/App/bin/the app", admin);
        EXPECT_EQ(view.calls, (std::vector<std::string>{"indicator:off",
                                                        std::string("start:/tmp/App/bin/the app") +
                                                            (admin ? ":admin" : ""),
                                                        "close"}));
        EXPECT_TRUE(form.State().closed);
    }
}

TEST_F(MainFormTest, AFailedLoadAtStartIsShownBeforeTheWindowAndNoRunStarts) {
    TFrmMain form(view, ui, launcher, [](std::string&, std::string& error) {
        error = "Ressource instruction nicht gefunden";
        return false;
    });
    form.FormCreate({});
    const auto& state = form.State();
    ASSERT_EQ(state.errorLines.size(), 1u);
    const std::string& line = state.errorLines[0];
    EXPECT_EQ(line.rfind("Anweisungen konnten nicht geladen werden: ", 0), 0u) << line;
    EXPECT_TRUE(line.ends_with(" [TApp.LoadInstruction]")) << line;
    EXPECT_EQ(state.progressText.rfind("Anweisungen konnten nicht geladen werden: ", 0), 0u);
    EXPECT_EQ(state.caption, "Installer");
    EXPECT_EQ(state.outerHeight, 350);
    EXPECT_EQ(state.taskbarValue, 100);
    EXPECT_EQ(state.taskbarState, TTaskbarState::Error);
    EXPECT_FALSE(state.indicatorRunning);
    EXPECT_FALSE(state.timerEnabled);
    for (const auto& call : view.calls) EXPECT_NE(call.rfind("timer", 0), 0u) << call;

    // A timer event arriving anyway starts nothing.
    view.calls.clear();
    form.TimerStartTimer();
    EXPECT_TRUE(view.calls.empty());
}

TEST_F(MainFormTest, TheOwnInstructionTrailerIsMissingInAPlainProgram) {
    // The test program carries no instruction: the default reader fails the same way.
    TFrmMain form(view, ui, launcher);
    form.FormCreate({});
    ASSERT_EQ(form.State().errorLines.size(), 1u);
    EXPECT_EQ(form.State().outerHeight, 350);
    EXPECT_FALSE(form.State().timerEnabled);
}

TEST_F(MainFormTest, ASuccessfulLoadSetsTheCaptionAndArmsTheTimerOnce) {
    struct Case {
        const char* json;
        const char* caption;
    };
    const Case cases[] = {
        {R"({"title":"Demo Setup","app":"Demo","startApp":"demo"})", "Demo Setup"},
        {R"({"title":"","app":"Demo","startApp":"demo"})", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        view.calls.clear();
        TFrmMain form(view, ui, launcher, Instruction(c.json));
        form.FormCreate({});
        EXPECT_EQ(view.calls,
                  (std::vector<std::string>{std::string("caption:") + c.caption, "timer:1000"}));
        EXPECT_EQ(form.State().caption, c.caption);
        EXPECT_TRUE(form.State().timerEnabled);
        EXPECT_TRUE(form.State().errorLines.empty());
    }
}

TEST_F(MainFormTest, TheSwitchesReachTheController) {
    struct Case {
        std::vector<std::string> arguments;
        std::string host;
        std::string channel;
    };
    const Case cases[] = {
        {{}, ombrel::build::kDefaultServer, ""},
        {{"-h", "http://127.0.0.1:1", "--update-channel", "beta"}, "http://127.0.0.1:1", "beta"},
        {{"/H:http://x", "--update-channel=beta"}, "http://x", "=beta"},
        {{"-h"}, "", ""},
    };
    for (const auto& c : cases) {
        TFrmMain form(view, ui, launcher, Instruction(R"({"app":"Demo"})"));
        form.FormCreate(c.arguments);
        ASSERT_NE(form.App(), nullptr);
        EXPECT_EQ(form.App()->HostName(), c.host);
        EXPECT_EQ(form.App()->UpdateChannel(), c.channel);
    }
}

}  // namespace
}  // namespace ombrel
