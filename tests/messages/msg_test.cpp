#include "messages/msg.h"

#include <sys/stat.h>
#if defined(_WIN32)
#include <windows.h>

#include "platform/win32_text.h"
#endif

#include <deque>
#include <filesystem>
#include <functional>
#include <regex>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace ombrel {
namespace {

using testing::ReadFileBytes;
using testing::TempFolder;
using TAnswer = IMsgAlerts::TAnswer;

// Records every dialog as one line and answers from a queue (Ok when it is empty).
class RecordingAlerts : public IMsgAlerts {
public:
    TAnswer ShowAlert(TKind, const std::string& caption, const std::string& mainText,
                      const std::string& details, bool withIgnoreButton) override {
        shown.push_back(caption + "|" + mainText + "|" + details + (withIgnoreButton ? "|ignore" : ""));
        return Next();
    }
    TAnswer ShowErrorBox(const std::string& text, bool allowRetry) override {
        shown.push_back(std::string(allowRetry ? "box+retry|" : "box|") + text);
        if (beforeAnswer) beforeAnswer();
        return Next();
    }
    bool IsShuttingDown() const override { return shuttingDown; }

    std::vector<std::string> shown;
    std::deque<TAnswer> answers;
    std::function<void()> beforeAnswer;
    bool shuttingDown = false;

private:
    TAnswer Next() {
        if (answers.empty()) return TAnswer::Ok;
        TAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
};

class MsgHandlerTest : public ::testing::Test {
protected:
    MsgHandlerTest() : alerts(std::make_shared<RecordingAlerts>()) {
        handler = std::make_unique<TMsgHandler>(alerts);
        handler->DefaultLog.FileName = LogFile();
    }

    std::string LogFile() const { return folder / "messages.log"; }

    // The log file's lines without their stamp column, which is checked for its form.
    std::vector<std::string> LogLines() {
        std::vector<std::string> lines;
        if (!std::filesystem::exists(LogFile())) return lines;
        std::string text = ReadFileBytes(LogFile());
        static const std::regex stamp(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d,)");
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find("\r\n", pos);
            EXPECT_NE(end, std::string::npos) << "line without CR LF: " << text.substr(pos);
            if (end == std::string::npos) break;
            std::string line = text.substr(pos, end - pos);
            EXPECT_TRUE(std::regex_search(line.substr(0, 20), stamp)) << line;
            lines.push_back(line.substr(20));
            pos = end + 2;
        }
        return lines;
    }

    // Destroys the handler, which writes the buffered lines.
    std::vector<std::string> LogLinesAfterDestroy() {
        handler.reset();
        return LogLines();
    }

    TempFolder folder;
    std::shared_ptr<RecordingAlerts> alerts;
    std::unique_ptr<TMsgHandler> handler;
};

TEST_F(MsgHandlerTest, AlertsForActionSequences) {
    using Steps = std::function<std::vector<bool>(TMsgHandler&)>;
    struct Case {
        const char* name;
        Steps steps;                         // answers the results of the calls it makes
        std::vector<bool> results;
        std::vector<std::string> alerts;     // caption|main|details[|ignore]
        std::vector<std::string> log;        // log lines without the stamp
    };
    const Case cases[] = {
        {"log outside any action",
         [](TMsgHandler& h) { return std::vector<bool>{h.Log("l", "S.Log")}; },
         {true}, {}, {"LOG,,S.Log,0,\"l\""}},
        {"error outside any action",
         [](TMsgHandler& h) { return std::vector<bool>{h.Error("e", "S.Err")}; },
         {false}, {"Fehler|e|"}, {"ERROR,,S.Err,0,\"e\""}},
        {"warning outside any action",
         [](TMsgHandler& h) { return std::vector<bool>{h.Warning("w", "S.W")}; },
         {true}, {"Warnung|w||ignore"}, {"WARNING,,S.W,0,\"w\""}},
        {"error counted as success is dropped",
         [](TMsgHandler& h) { return std::vector<bool>{h.Msg(ErrorInfo("e", "S"), true)}; },
         {true}, {}, {}},
        {"log record with success false",
         [](TMsgHandler& h) { return std::vector<bool>{h.Msg(LogInfo("l", "S"), false)}; },
         {true}, {}, {"LOG,,S,0,\"l\""}},
        {"single warning with a success text",
         [](TMsgHandler& h) {
             return std::vector<bool>{h.Msg(TMsgInfo(msgWarning, "w", "S", "Fertig"), true)};
         },
         {true}, {"Warnung|Fertig\r\nWarnung: w||ignore"}, {"WARNING,,S,0,\"w\""}},
        {"log with a success text shows it",
         [](TMsgHandler& h) { return std::vector<bool>{h.Msg(TMsgInfo(msgLog, "l", "S", "Gut"), true)}; },
         {true}, {"Information|Gut|"}, {"LOG,,S,0,\"l\""}},
        {"inside an action nothing shows until its end",
         [](TMsgHandler& h) {
             h.BeginAction();
             bool e = h.Error("e", "A");
             bool w = h.Warning("w", "B");
             return std::vector<bool>{e, w, h.EndAction()};
         },
         {false, true, false},
         {"Fehler|Es ist ein Fehler aufgetreten!\r\nWarnung: w|Fehler: e"},
         {"ERROR,,A,1,\"e\"", "WARNING,,B,1,\"w\""}},
        {"nested actions show once, at the outer end",
         [](TMsgHandler& h) {
             h.BeginAction();
             h.Warning("outer", "O");
             h.BeginAction();
             h.Warning("inner", "I");
             bool inner = h.EndAction();
             bool outer = h.EndAction();
             return std::vector<bool>{inner, outer};
         },
         {true, true},
         {"Warnung|inner|Warnung: outer|ignore"},
         {"WARNING,,O,1,\"outer\"", "WARNING,,I,2,\"inner\""}},
        {"the same warning twice is listed once",
         [](TMsgHandler& h) {
             h.BeginAction();
             h.Warning("same", "S");
             h.Warning("other", "S");
             h.Warning("same", "S");
             return std::vector<bool>{h.EndAction()};
         },
         {true},
         {"Warnung|same|Warnung: other|ignore"},
         {"WARNING,,S,1,\"same\"", "WARNING,,S,1,\"other\"", "WARNING,,S,1,\"same\""}},
        {"empty action closed with a success text",
         [](TMsgHandler& h) {
             h.BeginAction();
             h.Log("l", "S");
             return std::vector<bool>{h.EndAction(TMsgInfo(msgLog, "closing", "C", "Alles gut"))};
         },
         {true}, {"Information|Alles gut|"}, {"LOG,,S,1,\"l\""}},
        {"empty action closed without a success text",
         [](TMsgHandler& h) {
             h.BeginAction();
             return std::vector<bool>{h.EndAction(WarningInfo("closing", "C"))};
         },
         {true}, {}, {}},
        {"failed action closed with a warning record",
         [](TMsgHandler& h) {
             h.BeginAction();
             h.Error("e", "A");
             return std::vector<bool>{h.EndAction(WarningInfo("closing", "C"))};
         },
         {false}, {"Fehler|closing|Fehler: e"}, {"ERROR,,A,1,\"e\"", "ERROR,,C,1,\"closing\""}},
        {"successful action with a success text and three warnings",
         [](TMsgHandler& h) {
             h.BeginAction();
             h.Warning("w1", "A");
             h.Warning("w2", "B");
             return std::vector<bool>{h.EndAction(TMsgInfo(msgWarning, "w3", "C", "Installiert"))};
         },
         {true},
         {"Warnung|Installiert\r\nEs sind 3 Warnungen aufgetreten|Warnung: w1\r\nWarnung: w2|ignore"},
         {"WARNING,,A,1,\"w1\"", "WARNING,,B,1,\"w2\"", "WARNING,,C,1,\"w3\""}},
        {"closing log record of a warned action is logged, not listed",
         [](TMsgHandler& h) {
             h.BeginAction();
             h.Warning("w", "A");
             return std::vector<bool>{h.EndAction(LogInfo("done", "C"))};
         },
         {true}, {"Warnung|w||ignore"}, {"WARNING,,A,1,\"w\"", "LOG,,C,1,\"done\""}},
        {"end without begin",
         [](TMsgHandler& h) { return std::vector<bool>{h.EndAction()}; },
         {false},
         {"Fehler|MessageHandler korrupt, EndAction ohne BeginAction!|"},
         {"ERROR,,TMsgHandler.Destroy,-1,\"MessageHandler korrupt, EndAction ohne BeginAction!\""}},
        {"a fresh message after a failed one starts over",
         [](TMsgHandler& h) {
             bool e = h.Error("e", "A");
             return std::vector<bool>{e, h.Log("l", "B")};
         },
         {false, true}, {"Fehler|e|"}, {"ERROR,,A,0,\"e\"", "LOG,,B,0,\"l\""}},
    };
    for (const auto& c : cases) {
        handler.reset();
        std::filesystem::remove(LogFile());
        alerts->shown.clear();
        handler = std::make_unique<TMsgHandler>(alerts);
        handler->DefaultLog.FileName = LogFile();
        handler->DefaultLog.Attitude = laInstant;
        EXPECT_EQ(c.steps(*handler), c.results) << c.name;
        EXPECT_EQ(alerts->shown, c.alerts) << c.name;
        EXPECT_EQ(LogLines(), c.log) << c.name;
    }
}

TEST_F(MsgHandlerTest, IgnoredWarningsAreLoggedAsIgnoredAndNotShown) {
    handler->DefaultLog.Attitude = laInstant;
    alerts->answers.push_back(TAnswer::Ignore);
    handler->BeginAction();
    handler->Warning("first", "Unit.Routine");
    handler->Warning("other", "");
    handler->Warning("second", "Other.Sender");
    handler->EndAction();
    EXPECT_TRUE(handler->Ignored("UNIT.routine"));
    EXPECT_TRUE(handler->Ignored("other.sender"));
    EXPECT_FALSE(handler->Ignored(""));

    alerts->shown.clear();
    EXPECT_TRUE(handler->Warning("again", "unit.ROUTINE"));
    EXPECT_FALSE(handler->Error("still shown", "Unit.Routine"));
    EXPECT_EQ(alerts->shown, std::vector<std::string>{"Fehler|still shown|"});
    std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[3], "WARNING,ignored,unit.ROUTINE,0,\"again\"");
    EXPECT_EQ(log[4], "ERROR,,Unit.Routine,0,\"still shown\"");

    handler->Ignore("");
    EXPECT_FALSE(handler->Ignored(""));
}

TEST_F(MsgHandlerTest, IsAlertLooksAtTheInnermostAction) {
    EXPECT_FALSE(handler->IsAlert());
    handler->BeginAction();
    handler->Warning("w", "S");
    EXPECT_TRUE(handler->IsAlert());
    handler->BeginAction();
    EXPECT_FALSE(handler->IsAlert());
    handler->Log("l", "S");
    EXPECT_FALSE(handler->IsAlert());
    handler->EndAction();
    EXPECT_TRUE(handler->IsAlert());
    handler->EndAction();
    EXPECT_TRUE(handler->IsAlert());  // the collection stays until the next fresh message
}

TEST_F(MsgHandlerTest, LogAttitudes) {
    // laDestroy: nothing reaches the file before the handler goes, then everything at once.
    handler->Log("a", "S");
    handler->BeginAction();
    handler->Warning("b", "S");
    handler->EndAction();
    EXPECT_FALSE(std::filesystem::exists(LogFile()));
    EXPECT_EQ(handler->PendingLogLines().size(), 2u);
    std::vector<std::string> lines = LogLinesAfterDestroy();
    EXPECT_EQ(lines, (std::vector<std::string>{"LOG,,S,0,\"a\"", "WARNING,,S,1,\"b\""}));

    // laMsg: lines wait while an action is open and go out with the next line at depth 0.
    std::filesystem::remove(LogFile());
    handler = std::make_unique<TMsgHandler>(alerts);
    handler->DefaultLog.FileName = LogFile();
    handler->DefaultLog.Attitude = laMsg;
    handler->BeginAction();
    handler->Log("in action", "S");
    handler->EndAction();
    EXPECT_FALSE(std::filesystem::exists(LogFile()));
    handler->Log("outside", "S");
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"LOG,,S,1,\"in action\"", "LOG,,S,0,\"outside\""}));
    EXPECT_TRUE(handler->PendingLogLines().empty());

    // Inactive, or without a file name: nothing is written.
    std::filesystem::remove(LogFile());
    handler->DefaultLog.Active = false;
    handler->Log("x", "S");
    handler->DefaultLog.Active = true;
    handler->DefaultLog.FileName = "";
    handler->Log("y", "S");
    handler.reset();
    EXPECT_FALSE(std::filesystem::exists(LogFile()));
}

TEST_F(MsgHandlerTest, LogLineFormat) {
    handler->DefaultLog.Attitude = laInstant;
    TMsgInfo zero(msgWarning, "say \"hi\", ok", "Sender%6");
    zero.stamp = TMsgInfo::TStamp{};
    handler->Msg(zero, true);
    std::string text = ReadFileBytes(LogFile());
    // No stamp column, nothing escaped, and %6 inside the sender is replaced too.
    EXPECT_EQ(text, ",WARNING,,Sendersay \"hi\", ok,0,\"say \"hi\", ok\"\r\n");

    std::filesystem::remove(LogFile());
    handler->DefaultLog.Format = "[%2|%5] %6 (%4)%3";
    handler->Log("ä", "S");
    EXPECT_EQ(ReadFileBytes(LogFile()), "[LOG|0] \xC3\xA4 (S)\r\n");  // UTF-8, no mark

    TMsgInfo dated(msgLog, "m", "S");
    std::tm tm{};
    tm.tm_mday = 5, tm.tm_mon = 2, tm.tm_year = 124, tm.tm_hour = 14, tm.tm_min = 7, tm.tm_sec = 9;
    tm.tm_isdst = -1;
    dated.stamp = std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(600);
    EXPECT_EQ(FormatMsgStamp(dated.stamp), "05.03.2024 14:07:09");
}

TEST_F(MsgHandlerTest, UnwritableLogOffersRetry) {
    handler->DefaultLog.FileName = folder / "missing-folder/messages.log";
    handler->DefaultLog.Attitude = laInstant;
    const std::string expectedStart =
        "box+retry|TMsgHandler.writeLog: Das Protokoll konnte nicht gespeichert werden.\r\n\r\n";
    const std::string expectedEnd =
        "\r\nBitte entfernen Sie den eventuell vorhanden Schreibschutz auf der Datei\r\n"
        "oder verbinden Sie das betreffende Laufwerk.";

    // OK gives up; with laInstant the line stays buffered for the end.
    handler->Log("first", "S");
    ASSERT_EQ(alerts->shown.size(), 1u);
    EXPECT_EQ(alerts->shown[0].rfind(expectedStart, 0), 0u) << alerts->shown[0];
    EXPECT_EQ(alerts->shown[0].substr(alerts->shown[0].size() - expectedEnd.size()), expectedEnd);
    // The platform's own text of a missing folder.
#if defined(_WIN32)
    EXPECT_NE(alerts->shown[0].find(Win32ErrorText(ERROR_PATH_NOT_FOUND)), std::string::npos)
        << alerts->shown[0];
#else
    EXPECT_NE(alerts->shown[0].find("No such file or directory"), std::string::npos);
#endif
    EXPECT_EQ(handler->PendingLogLines().size(), 1u);

    // Retry tries again; here the folder appears before the second attempt.
    alerts->shown.clear();
    alerts->answers = {TAnswer::Retry};
    alerts->beforeAnswer = [&] { std::filesystem::create_directory(folder / "missing-folder"); };
    handler->Log("second", "S");
    EXPECT_EQ(alerts->shown.size(), 1u);
    alerts->beforeAnswer = nullptr;
    EXPECT_EQ(ReadFileBytes(folder / "missing-folder/messages.log").find("\"first\""), std::string::npos);

    handler.reset();  // the buffered first line goes out now
    std::string text = ReadFileBytes(folder / "missing-folder/messages.log");
    EXPECT_LT(text.find("\"second\""), text.find("\"first\""));
}

TEST_F(MsgHandlerTest, UnbalancedHandlerReportsItselfCorruptWhenDestroyed) {
    handler->BeginAction();
    handler->Warning("pending", "S");
    std::vector<std::string> lines = LogLinesAfterDestroy();
    EXPECT_EQ(lines, (std::vector<std::string>{"WARNING,,S,1,\"pending\"",
                                               "LOG,,TMsgHandler.Destroy,0,\"MessageHandler korrupt!\""}));
    EXPECT_EQ(alerts->shown,
              (std::vector<std::string>{"Warnung|MessageHandler korrupt!|Warnung: pending|ignore",
                                        "box|MessageHandler korrupt!"}));
}

TEST_F(MsgHandlerTest, HooksReplaceFileAndAlert) {
    std::vector<std::string> logged;
    std::vector<std::string> notified;
    handler->SetLogInterrupt([&](const TMsgInfo& info, int32_t level, bool ignored) {
        logged.push_back(info.msg + "@" + std::to_string(level) + (ignored ? "!" : ""));
    });
    handler->SetMsgInterrupt([&](const TMsgInfo& top, std::vector<TMsgInfo>& list, bool result) {
        notified.push_back(top.msg + "|" + std::to_string(list.size()) + "|" + (result ? "ok" : "failed"));
    });
    handler->BeginAction();
    handler->Error("e", "A");
    handler->Error("e", "A");
    handler->EndAction();
    EXPECT_EQ(logged, (std::vector<std::string>{"e@1", "e@1"}));
    EXPECT_EQ(notified, std::vector<std::string>{"e|1|failed"});
    EXPECT_TRUE(alerts->shown.empty());
    handler.reset();
    EXPECT_FALSE(std::filesystem::exists(LogFile()));
}

TEST_F(MsgHandlerTest, NoAlertWhileTheApplicationShutsDown) {
    alerts->shuttingDown = true;
    handler->DefaultLog.Attitude = laInstant;
    EXPECT_FALSE(handler->Error("e", "S"));
    EXPECT_TRUE(alerts->shown.empty());
    EXPECT_EQ(LogLines().size(), 1u);
}

// Replaces the process's handler for one test, recording what reaches it.
class ProcessHandlerScope {
public:
    struct Recorder : TMsgHandler {
        Recorder() { DefaultLog.Active = false; }
        bool Msg(const TMsgInfo& info, bool success) override {
            received.push_back(info.msgTypeEn() + "|" + info.sender + "|" + info.msg + "|" +
                               (success ? "true" : "false"));
            return true;
        }
        std::vector<std::string> received;
    };
    ProcessHandlerScope() {
        auto recorder = std::make_unique<Recorder>();
        recorder_ = recorder.get();
        previous_ = ReplaceMsgHandler(std::move(recorder));
    }
    ~ProcessHandlerScope() { ReplaceMsgHandler(std::move(previous_)); }
    const std::vector<std::string>& Received() const { return recorder_->received; }

private:
    Recorder* recorder_;
    std::unique_ptr<TMsgHandler> previous_;
};

TEST(MsgInfo, SerializeRoundTripsToWholeSeconds) {
    TMsgInfo info(msgError, "a \"quoted\", text", "Unit.Routine", "");
    info.level = -3;
    const std::string line = info.GetSerialize();
    EXPECT_TRUE(std::regex_match(
        line, std::regex(R"("\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d",2,"a ""quoted"", text",Unit\.Routine,,-3)")))
        << line;
    TMsgInfo back;
    back.SetSerialize(line);
    TMsgInfo expected = info;
    expected.stamp = std::chrono::floor<std::chrono::seconds>(info.stamp);
    EXPECT_TRUE(back.Equals(expected)) << back.GetSerialize();

    TMsgInfo zero(msgLog, "", "", "ok");
    zero.stamp = TMsgInfo::TStamp{};
    TMsgInfo zeroBack;
    zeroBack.SetSerialize(zero.GetSerialize());
    EXPECT_TRUE(zeroBack.Equals(zero)) << zero.GetSerialize();
}

TEST(MsgInfo, ReadingLines) {
    struct Case {
        const char* line;
        TMsgType type;
        const char* msg;
        const char* sender;
        const char* successMsg;
        int32_t level;
        bool warned;  // the bad-kind warning went to the process's handler
    };
    const Case cases[] = {
        {"\"05.03.2024 14:07:09\",1,m,s,ok,2", msgWarning, "m", "s", "ok", 2, false},
        {"x,0,two words,s", msgLog, "two", "words", "s", 0, false},
        {"x,2,,,,", msgError, "", "", "", 0, false},
        {"x,2,\"a,b\"\"c\",\"\",z,7", msgError, "a,b\"c", "", "z", 7, false},
        {"x,2,m,s,ok,level", msgError, "m", "s", "ok", 0, false},
        {"x,7,m,s", msgWarning, "m", "s", "", 0, true},
        {"x,,m", msgWarning, "m", "", "", 0, true},
        {"", msgWarning, "", "", "", 0, true},
        {"  x , 0 , m", msgLog, "m", "", "", 0, false},
    };
    for (const auto& c : cases) {
        ProcessHandlerScope scope;
        TMsgInfo info;
        info.SetSerialize(c.line);
        EXPECT_EQ(info.msgType, c.type) << c.line;
        EXPECT_EQ(info.msg, c.msg) << c.line;
        EXPECT_EQ(info.sender, c.sender) << c.line;
        EXPECT_EQ(info.successMsg, c.successMsg) << c.line;
        EXPECT_EQ(info.level, c.level) << c.line;
        EXPECT_NE(info.stamp, TMsgInfo::TStamp{}) << c.line;  // unreadable time: now
        if (c.warned) {
            EXPECT_EQ(scope.Received(),
                      std::vector<std::string>{"WARNING|TMsgInfo.setSerialize|TMsgInfo: Anzahl der Felder nicht korrekt|true"})
                << c.line;
        } else {
            EXPECT_TRUE(scope.Received().empty()) << c.line;
        }
    }
    TMsgInfo info;
    info.SetSerialize("\"05.03.2024 14:07:09\",0,m");
    EXPECT_EQ(FormatMsgStamp(info.stamp), "05.03.2024 14:07:09");
}

TEST(MsgInfo, NamesAndProtocol) {
    TMsgInfo info(msgWarning, "m", "s");
    EXPECT_EQ(info.msgTypeEn(), "WARNING");
    EXPECT_EQ(info.msgTypeDe(), "Warnung");
    info.msgType = static_cast<TMsgType>(7);
    EXPECT_EQ(info.msgTypeEn(), "MESSAGE");
    EXPECT_EQ(info.msgTypeDe(), "Meldung");
    info.msgType = msgLog;
    EXPECT_EQ(info.GetProtocol(), FormatMsgStamp(info.stamp) + " Information - m - s");
    EXPECT_EQ(ErrorInfo("x").sender, "");
    EXPECT_EQ(ErrorInfo("x", "y").msgType, msgError);
    EXPECT_EQ(LogInfo("x", "y").level, 0);
    TMsgInfo copy = info;
    EXPECT_TRUE(copy.Equals(info));
    copy.sender = "S";
    EXPECT_FALSE(copy.Equals(info));
}

}  // namespace
}  // namespace ombrel
