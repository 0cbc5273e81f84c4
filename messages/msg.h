#pragma once
// uMsg: the process-wide message handler. It writes every message it accepts as a line of its
// log file, collects warnings and errors while nested actions run, and when the outermost
// action ends (or at once, for a message outside any action) shows one alert summing them up.
//
// Not thread-safe: use it from the UI thread only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stack>
#include <string>
#include <vector>

namespace ombrel {

enum TMsgType : int32_t { msgLog = 0, msgWarning = 1, msgError = 2 };

// One message. A value; copied on assignment.
struct TMsgInfo {
    using TStamp = std::chrono::system_clock::time_point;

    // When the record was made; the zero value (TStamp{}) means that no time is set.
    TStamp stamp{};
    TMsgType msgType = msgLog;
    std::string msg;
    // Who reports, by convention "Unit.Routine" or "Class.Routine".
    std::string sender;
    // Shown when an action that this record closes ends without warnings or errors.
    std::string successMsg;
    // Nesting depth at which the handler collected the record.
    int32_t level = 0;

    TMsgInfo() = default;
    // The stamp becomes the current local time; level 0.
    TMsgInfo(TMsgType msgType, std::string msg, std::string sender = {},
             std::string positivMsg = {});

    // The six fields as one comma-separated line: stamp "dd.mm.yyyy hh:nn:ss", the kind as
    // its number, msg, sender, successMsg, level. Items holding a quote, a comma or a
    // character of code 1 to 32 are quoted with inner quotes doubled.
    std::string GetSerialize() const;
    // Reads such a line. An unreadable stamp takes the current time; a kind that is not 0 to 2
    // becomes msgWarning and is reported to MsgHandler() as a warning; a missing or
    // non-numeric level reads as 0.
    void SetSerialize(const std::string& value);

    // All six fields equal; texts compared case-sensitively.
    bool Equals(const TMsgInfo& other) const;

    // "LOG", "WARNING", "ERROR"; "MESSAGE" for any other value.
    std::string msgTypeEn() const;
    // "Information", "Warnung", "Fehler"; "Meldung" for any other value.
    std::string msgTypeDe() const;
    // Stamp, " ", msgTypeDe, " - ", msg, " - ", sender.
    std::string GetProtocol() const;
};

// Formats a stamp as "dd.mm.yyyy hh:nn:ss" in local time; the zero stamp gives "".
std::string FormatMsgStamp(TMsgInfo::TStamp stamp);

TMsgInfo ErrorInfo(const std::string& msg);
TMsgInfo ErrorInfo(const std::string& msg, const std::string& sender);
TMsgInfo WarningInfo(const std::string& msg, const std::string& sender);
TMsgInfo LogInfo(const std::string& msg, const std::string& sender);

// When log lines reach the file: at once, when no action is open, or when the handler goes.
enum TLogAttitude : int32_t { laInstant = 0, laMsg = 1, laDestroy = 2 };

struct TMsgHandlerLog {
    bool Active = true;
    TLogAttitude Attitude = laDestroy;
    // Resolved against the current directory when a line is written.
    std::string FileName = "messages.log";
    std::string Format = "%1,%2,%3,%4,%5,\"%6\"";
};

// The dialogs of the handler. The default implementation writes to stderr and answers Ok; a
// GUI provides real dialogs through the same interface; tests record what would be shown.
class IMsgAlerts {
public:
    enum class TKind { Information, Warning, Error };
    enum class TAnswer { Ok, Cancel, Ignore, Retry };

    virtual ~IMsgAlerts() = default;

    // The summary alert: caption "Information", "Warnung" or "Fehler" by kind, the main text,
    // the details (may be empty), buttons OK and Cancel, and for warnings one more button
    // "Warnungen ignorieren" (not the default) answering Ignore.
    virtual TAnswer ShowAlert(TKind kind, const std::string& caption, const std::string& mainText,
                              const std::string& details, bool withIgnoreButton) = 0;
    // A plain error box with OK, plus Retry when `allowRetry`; answers Ok or Retry. Must not
    // throw; a failure to show it counts as Ok.
    virtual TAnswer ShowErrorBox(const std::string& text, bool allowRetry) = 0;
    // True once the application is ending; then no summary alert is shown.
    virtual bool IsShuttingDown() const { return false; }
};

// Writes alerts and error boxes to stderr and answers Ok.
class TConsoleMsgAlerts : public IMsgAlerts {
public:
    TAnswer ShowAlert(TKind kind, const std::string& caption, const std::string& mainText,
                      const std::string& details, bool withIgnoreButton) override;
    TAnswer ShowErrorBox(const std::string& text, bool allowRetry) override;
};

class TMsgHandler {
public:
    using TMsgFunction = std::function<bool(const TMsgInfo& msgInfo, bool success)>;
    using TMsgInterrupt =
        std::function<void(const TMsgInfo& topInfo, std::vector<TMsgInfo>& msgList, bool result)>;
    using TLogInterrupt =
        std::function<void(const TMsgInfo& msgInfo, int32_t level, bool ignored)>;

    // `alerts` null means TConsoleMsgAlerts.
    explicit TMsgHandler(std::shared_ptr<IMsgAlerts> alerts = nullptr);
    // Reports a depth left unbalanced ("MessageHandler korrupt!"), then writes the buffered
    // log lines.
    virtual ~TMsgHandler();
    TMsgHandler(const TMsgHandler&) = delete;
    TMsgHandler& operator=(const TMsgHandler&) = delete;

    // The single-message entry. `success` says whether the reporting step still counts as
    // successful; it matters for errors only. Outside any action the answer is the outcome of
    // this message; inside an action it is `success`.
    virtual bool Msg(const TMsgInfo& msgInfo, bool success);
    bool Error(const std::string& msg, const std::string& sender);
    bool Warning(const std::string& msg, const std::string& sender);
    bool Log(const std::string& msg, const std::string& sender);

    void BeginAction();
    // Close the innermost action; the answer is the outcome of the outermost action so far.
    // The record closes the action when something was collected in it, and its success text
    // is shown when the outermost action ends with nothing collected.
    bool EndAction();
    bool EndAction(const TMsgInfo& msgInfo);
    // Messages were collected since the innermost open action began (with none open: the
    // collection is not empty).
    bool IsAlert() const;

    // Warnings from ignored senders are logged as "ignored" and neither collected nor shown.
    // Compared without regard to case; an empty sender is not added.
    void Ignore(const std::string& sender);
    bool Ignored(const std::string& sender) const;

    // Hooks. The log hook receives every log line's data instead of the log file; the message
    // hook receives the collected messages instead of the alert. Empty functions remove them.
    void SetLogInterrupt(TLogInterrupt hook) { iLogInterrupt = std::move(hook); }
    void SetMsgInterrupt(TMsgInterrupt hook) { iMsgInterrupt = std::move(hook); }
    // `alerts` null means TConsoleMsgAlerts.
    void SetAlerts(std::shared_ptr<IMsgAlerts> alerts);

    // The log lines not yet written, in order (for inspection).
    const std::vector<std::string>& PendingLogLines() const { return buffer; }

    TMsgHandlerLog DefaultLog;

private:
    void EnterLevel();
    void LeaveLevel();
    bool ProcessMsg(const TMsgInfo& msgInfo, bool success);
    void AddLogLine(const TMsgInfo& msgInfo, int32_t level, bool ignored);
    std::string FormatLogLine(const TMsgInfo& msgInfo, int32_t level, bool ignored) const;
    bool writeLog(const std::string& text);
    void NotifyMessages(const TMsgInfo& topInfo, bool result);
    void ShowAlert(const TMsgInfo& topInfo, std::vector<TMsgInfo>& list, bool result);
    size_t ActionStart(bool pop);

    std::vector<std::string> buffer;
    int32_t counter = 0;
    std::vector<std::string> ignoreList;  // lower-cased, sorted, unique
    TLogInterrupt iLogInterrupt;
    TMsgInterrupt iMsgInterrupt;
    std::vector<TMsgInfo> iMsgList;
    std::stack<int32_t> msgCount;
    bool return_ = true;
    std::shared_ptr<IMsgAlerts> iAlerts;
};

// The process's handler, created on the first call and destroyed when the process ends (after
// main returns or exit is called), which writes its buffered lines to the log file.
TMsgHandler& MsgHandler();

// Makes `handler` the process's handler and hands back the previous one (null when none was
// made yet). A null `handler` lets the next MsgHandler() call create a fresh one. Meant for
// tests that watch what reaches the handler.
std::unique_ptr<TMsgHandler> ReplaceMsgHandler(std::unique_ptr<TMsgHandler> handler);

}  // namespace ombrel
