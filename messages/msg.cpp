#include "messages/msg.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fmt/format.h>
#include <fmt/printf.h>

#include "messages/log_file.h"

namespace ombrel {

namespace {

constexpr char kZeroStampText[] = "30.12.1899 00:00:00";

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

// Case folding for sender names: ASCII letters and the Latin-1 capitals (UTF-8 C3 80 to C3 9E,
// except the multiplication sign).
std::string FoldCase(const std::string& text) {
    std::string out(text);
    for (size_t i = 0; i < out.size(); ++i) {
        auto c = static_cast<unsigned char>(out[i]);
        if (c >= 'A' && c <= 'Z') {
            out[i] = static_cast<char>(c + 32);
        } else if (c == 0xC3 && i + 1 < out.size()) {
            auto next = static_cast<unsigned char>(out[i + 1]);
            if (next >= 0x80 && next <= 0x9E && next != 0x97) out[i + 1] = static_cast<char>(next + 32);
            ++i;
        }
    }
    return out;
}

bool ParseInt32(const std::string& text, int32_t& value) {
    if (text.empty()) return false;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (*first == '+') ++first;
    auto [ptr, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && ptr == last;
}

// Reads "dd.mm.yyyy", optionally followed by " hh:nn" or " hh:nn:ss", as local time.
bool ParseStamp(const std::string& text, TMsgInfo::TStamp& stamp) {
    if (text == kZeroStampText) {
        stamp = TMsgInfo::TStamp{};
        return true;
    }
    int day, month, year, hour = 0, minute = 0, second = 0;
    char tail;
    int fields = std::sscanf(text.c_str(), "%2d.%2d.%4d %2d:%2d:%2d%c", &day, &month, &year,
                             &hour, &minute, &second, &tail);
    if (fields != 3 && fields != 5 && fields != 6) return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || year < 1 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59) {
        return false;
    }
    std::tm tm{};
    tm.tm_mday = day;
    tm.tm_mon = month - 1;
    tm.tm_year = year - 1900;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return false;
    if (tm.tm_mday != day || tm.tm_mon != month - 1) return false;  // 31.02. and the like
    stamp = std::chrono::system_clock::from_time_t(t);
    return true;
}

bool NeedsQuotes(const std::string& item) {
    for (char c : item) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == ',' || (u >= 1 && u <= 32)) return true;
    }
    return false;
}

std::string QuoteItem(const std::string& item) {
    if (!NeedsQuotes(item)) return item;
    return "\"" + ReplaceAll(item, "\"", "\"\"") + "\"";
}

// Splits a comma-separated line: a quoted item may hold commas, blanks and doubled quotes;
// outside quotes a comma or a blank ends an item; a trailing comma adds an empty item.
std::vector<std::string> SplitItems(std::string value) {
    value = value.substr(0, value.find('\0'));
    auto blank = [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u >= 1 && u <= 32;
    };
    std::vector<std::string> items;
    size_t p = 0;
    const size_t n = value.size();
    while (p < n && blank(value[p])) ++p;
    while (p < n) {
        std::string item;
        if (value[p] == '"') {
            ++p;
            while (p < n) {
                if (value[p] == '"') {
                    if (p + 1 < n && value[p + 1] == '"') {
                        item += '"';
                        p += 2;
                    } else {
                        ++p;
                        break;
                    }
                } else {
                    item += value[p++];
                }
            }
        } else {
            size_t start = p;
            while (p < n && static_cast<unsigned char>(value[p]) > 32 && value[p] != ',') ++p;
            item = value.substr(start, p - start);
        }
        items.push_back(std::move(item));
        while (p < n && blank(value[p])) ++p;
        if (p < n && value[p] == ',') {
            if (p + 1 == n) items.emplace_back();
            do {
                ++p;
            } while (p < n && blank(value[p]));
        }
    }
    return items;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string ForConsole(const std::string& text) { return ReplaceAll(text, "\r\n", "\n"); }

}  // namespace

// --- TMsgInfo ---------------------------------------------------------------------------------

TMsgInfo::TMsgInfo(TMsgType msgType, std::string msg, std::string sender, std::string positivMsg)
    : stamp(std::chrono::system_clock::now()),
      msgType(msgType),
      msg(std::move(msg)),
      sender(std::move(sender)),
      successMsg(std::move(positivMsg)),
      level(0) {}

std::string FormatMsgStamp(TMsgInfo::TStamp stamp) {
    if (stamp == TMsgInfo::TStamp{}) return {};
    std::time_t t = std::chrono::system_clock::to_time_t(
        std::chrono::floor<std::chrono::seconds>(stamp));
    const std::tm tm = LocalTime(t);
    return fmt::format("{:02}.{:02}.{:04} {:02}:{:02}:{:02}", tm.tm_mday, tm.tm_mon + 1,
                       tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string TMsgInfo::GetSerialize() const {
    std::string stampText = stamp == TStamp{} ? std::string(kZeroStampText) : FormatMsgStamp(stamp);
    return QuoteItem(stampText) + "," + std::to_string(static_cast<int32_t>(msgType)) + "," +
           QuoteItem(msg) + "," + QuoteItem(sender) + "," + QuoteItem(successMsg) + "," +
           std::to_string(level);
}

void TMsgInfo::SetSerialize(const std::string& value) {
    std::vector<std::string> items = SplitItems(value);
    items.resize(std::max<size_t>(items.size(), 6));

    if (!ParseStamp(items[0], stamp)) stamp = std::chrono::system_clock::now();

    int32_t kind = -1;
    if (ParseInt32(items[1], kind) && kind >= msgLog && kind <= msgError) {
        msgType = static_cast<TMsgType>(kind);
    } else {
        MsgHandler().Msg(
            WarningInfo("TMsgInfo: Anzahl der Felder nicht korrekt", "TMsgInfo.setSerialize"), true);
        msgType = msgWarning;
    }
    msg = items[2];
    sender = items[3];
    successMsg = items[4];
    if (!ParseInt32(items[5], level)) level = 0;
}

bool TMsgInfo::Equals(const TMsgInfo& other) const {
    return stamp == other.stamp && msgType == other.msgType && msg == other.msg &&
           sender == other.sender && successMsg == other.successMsg && level == other.level;
}

std::string TMsgInfo::msgTypeEn() const {
    switch (msgType) {
        case msgLog: return "LOG";
        case msgWarning: return "WARNING";
        case msgError: return "ERROR";
    }
    return "MESSAGE";
}

std::string TMsgInfo::msgTypeDe() const {
    switch (msgType) {
        case msgLog: return "Information";
        case msgWarning: return "Warnung";
        case msgError: return "Fehler";
    }
    return "Meldung";
}

std::string TMsgInfo::GetProtocol() const {
    return FormatMsgStamp(stamp) + " " + msgTypeDe() + " - " + msg + " - " + sender;
}

TMsgInfo ErrorInfo(const std::string& msg) { return TMsgInfo(msgError, msg); }
TMsgInfo ErrorInfo(const std::string& msg, const std::string& sender) {
    return TMsgInfo(msgError, msg, sender);
}
TMsgInfo WarningInfo(const std::string& msg, const std::string& sender) {
    return TMsgInfo(msgWarning, msg, sender);
}
TMsgInfo LogInfo(const std::string& msg, const std::string& sender) {
    return TMsgInfo(msgLog, msg, sender);
}

// --- TConsoleMsgAlerts ------------------------------------------------------------------------

IMsgAlerts::TAnswer TConsoleMsgAlerts::ShowAlert(TKind, const std::string& caption,
                                                 const std::string& mainText,
                                                 const std::string& details, bool) {
    std::string text = "[" + caption + "] " + ForConsole(mainText) + "\n";
    if (!details.empty()) text += ForConsole(details) + "\n";
    std::fputs(text.c_str(), stderr);
    return TAnswer::Ok;
}

IMsgAlerts::TAnswer TConsoleMsgAlerts::ShowErrorBox(const std::string& text, bool) {
    std::fputs(("[Fehler] " + ForConsole(text) + "\n").c_str(), stderr);
    return TAnswer::Ok;
}

// --- TMsgHandler ------------------------------------------------------------------------------

TMsgHandler::TMsgHandler(std::shared_ptr<IMsgAlerts> alerts) { SetAlerts(std::move(alerts)); }

TMsgHandler::~TMsgHandler() {
    try {
        if (counter != 0) {
            counter = 1;
            ProcessMsg(LogInfo("MessageHandler korrupt!", "TMsgHandler.Destroy"), false);
            try {
                iAlerts->ShowErrorBox("MessageHandler korrupt!", false);
            } catch (...) {
            }
        }
        msgCount = {};
        iMsgList.clear();
        ignoreList.clear();
        if (!buffer.empty()) writeLog(JoinLines(buffer));
        buffer.clear();
    } catch (...) {
        // Nothing may escape a destructor; the process is ending anyway.
    }
}

void TMsgHandler::SetAlerts(std::shared_ptr<IMsgAlerts> alerts) {
    iAlerts = alerts ? std::move(alerts) : std::make_shared<TConsoleMsgAlerts>();
}

void TMsgHandler::EnterLevel() {
    if (counter <= 0) {
        counter = 0;
        return_ = true;
        iMsgList.clear();
    }
    ++counter;
}

void TMsgHandler::LeaveLevel() { --counter; }

bool TMsgHandler::Msg(const TMsgInfo& msgInfo, bool success) {
    EnterLevel();
    return ProcessMsg(msgInfo, success);
}

bool TMsgHandler::Error(const std::string& msg, const std::string& sender) {
    return Msg(ErrorInfo(msg, sender), false);
}

bool TMsgHandler::Warning(const std::string& msg, const std::string& sender) {
    return Msg(WarningInfo(msg, sender), true);
}

bool TMsgHandler::Log(const std::string& msg, const std::string& sender) {
    return Msg(LogInfo(msg, sender), true);
}

bool TMsgHandler::ProcessMsg(const TMsgInfo& msgInfo, bool success) {
    LeaveLevel();
    const int32_t depth = counter;
    if (!(success && msgInfo.msgType == msgError)) {
        bool ignored = msgInfo.msgType == msgWarning && Ignored(msgInfo.sender);
        AddLogLine(msgInfo, depth, ignored);
        if (msgInfo.msgType != msgLog && !ignored) {
            TMsgInfo copy = msgInfo;
            copy.level = depth;
            iMsgList.push_back(std::move(copy));
        }
    }
    if (msgInfo.msgType == msgError) return_ = return_ && success;
    if (counter > 0) return success;
    bool result = return_;
    if (!iMsgList.empty() || !msgInfo.successMsg.empty()) NotifyMessages(msgInfo, return_);
    return result;
}

void TMsgHandler::BeginAction() {
    EnterLevel();
    msgCount.push(static_cast<int32_t>(iMsgList.size()));
}

size_t TMsgHandler::ActionStart(bool pop) {
    if (msgCount.empty()) {
        ProcessMsg(ErrorInfo("MessageHandler korrupt, EndAction ohne BeginAction!",
                             "TMsgHandler.Destroy"),
                   false);
        // With no action open the report was shown on the spot; forget it so that the closing
        // steps do not show the same alert a second time.
        if (counter <= 0) iMsgList.clear();
        return 0;
    }
    size_t start = static_cast<size_t>(msgCount.top());
    if (pop) msgCount.pop();
    return start;
}

bool TMsgHandler::EndAction(const TMsgInfo& msgInfo) {
    const size_t start = ActionStart(true);
    if (iMsgList.size() > start) {
        if (!return_ && msgInfo.msgType == msgWarning) {
            TMsgInfo asError = msgInfo;
            asError.msgType = msgError;
            Msg(asError, false);
        } else {
            Msg(msgInfo, false);
        }
    }
    const bool result = return_;
    LeaveLevel();
    if (counter <= 0) {
        if (iMsgList.size() > start) {
            TMsgInfo top = iMsgList.back();
            NotifyMessages(top, return_);
        } else if (!msgInfo.successMsg.empty()) {
            NotifyMessages(msgInfo, return_);
        }
    }
    return result;
}

bool TMsgHandler::EndAction() {
    const size_t start = ActionStart(true);
    const bool result = return_;
    LeaveLevel();
    if (counter <= 0 && iMsgList.size() > start) {
        TMsgInfo top = iMsgList.back();
        NotifyMessages(top, return_);
    }
    return result;
}

bool TMsgHandler::IsAlert() const {
    size_t start = msgCount.empty() ? 0 : static_cast<size_t>(msgCount.top());
    return iMsgList.size() > start;
}

void TMsgHandler::Ignore(const std::string& sender) {
    if (sender.empty()) return;
    std::string key = FoldCase(sender);
    auto it = std::lower_bound(ignoreList.begin(), ignoreList.end(), key);
    if (it == ignoreList.end() || *it != key) ignoreList.insert(it, key);
}

bool TMsgHandler::Ignored(const std::string& sender) const {
    return std::binary_search(ignoreList.begin(), ignoreList.end(), FoldCase(sender));
}

std::string TMsgHandler::FormatLogLine(const TMsgInfo& msgInfo, int32_t level,
                                       bool ignored) const {
    std::string line = DefaultLog.Format;
    line = ReplaceAll(line, "%1", FormatMsgStamp(msgInfo.stamp));
    line = ReplaceAll(line, "%2", msgInfo.msgTypeEn());
    line = ReplaceAll(line, "%3", ignored ? "ignored" : "");
    line = ReplaceAll(line, "%4", msgInfo.sender);
    line = ReplaceAll(line, "%5", std::to_string(level));
    line = ReplaceAll(line, "%6", msgInfo.msg);
    return line;
}

void TMsgHandler::AddLogLine(const TMsgInfo& msgInfo, int32_t level, bool ignored) {
    if (iLogInterrupt) {
        iLogInterrupt(msgInfo, level, ignored);
        return;
    }
    if (!DefaultLog.Active || DefaultLog.FileName.empty()) return;
    std::string line = FormatLogLine(msgInfo, level, ignored);
    switch (DefaultLog.Attitude) {
        case laInstant:
            if (!writeLog(line + "\r\n")) buffer.push_back(std::move(line));
            break;
        case laMsg:
            buffer.push_back(std::move(line));
            if (level == 0 && writeLog(JoinLines(buffer))) buffer.clear();
            break;
        case laDestroy:
            buffer.push_back(std::move(line));
            break;
    }
}

bool TMsgHandler::writeLog(const std::string& text) {
    if (text.empty()) return true;
    for (;;) {
        std::string error;
        if (AppendToFile(DefaultLog.FileName, text, error)) return true;
        std::string box =
            "TMsgHandler.writeLog: Das Protokoll konnte nicht gespeichert werden.\r\n\r\n" + error +
            "\r\nBitte entfernen Sie den eventuell vorhanden Schreibschutz auf der Datei"
            "\r\noder verbinden Sie das betreffende Laufwerk.";
        IMsgAlerts::TAnswer answer = IMsgAlerts::TAnswer::Ok;
        try {
            answer = iAlerts->ShowErrorBox(box, true);
        } catch (...) {
        }
        if (answer != IMsgAlerts::TAnswer::Retry) return false;
    }
}

void TMsgHandler::NotifyMessages(const TMsgInfo& topInfo, bool result) {
    for (size_t i = iMsgList.size(); i-- > 1;) {
        const TMsgInfo& entry = iMsgList[i];
        bool duplicate = std::any_of(iMsgList.begin(), iMsgList.begin() + i, [&](const TMsgInfo& e) {
            return e.level == entry.level && e.sender == entry.sender && e.msg == entry.msg;
        });
        if (duplicate) iMsgList.erase(iMsgList.begin() + i);
    }
    if (iMsgInterrupt) {
        iMsgInterrupt(topInfo, iMsgList, result);
    } else {
        ShowAlert(topInfo, iMsgList, result);
    }
}

void TMsgHandler::ShowAlert(const TMsgInfo& topInfo, std::vector<TMsgInfo>& list, bool result) {
    using TKind = IMsgAlerts::TKind;
    TKind kind;
    std::string caption;
    std::string text;
    if (list.empty()) {
        kind = TKind::Information;
        caption = "Information";
        text = topInfo.successMsg;
    } else if (result) {
        kind = TKind::Warning;
        caption = "Warnung";
        if (!topInfo.successMsg.empty() && list.size() == 1) {
            text = topInfo.successMsg + "\r\nWarnung: " + topInfo.msg;
        } else if (!topInfo.successMsg.empty()) {
            text = topInfo.successMsg + "\r\n" +
                   fmt::sprintf("Es sind %d Warnungen aufgetreten", static_cast<int>(list.size()));
        } else {
            text = topInfo.msg;
        }
    } else {
        kind = TKind::Error;
        caption = "Fehler";
        text = topInfo.msgType == msgWarning
                   ? "Es ist ein Fehler aufgetreten!\r\nWarnung: " + topInfo.msg
                   : topInfo.msg;
    }

    // The details list every entry but the one the main text already shows, which is normally
    // the last. Removing duplicates can take that one away (its first occurrence stays earlier)
    // and a closing record may not be in the list at all; then the entries that would
    // otherwise be lost are listed too.
    auto isTop = [&](const TMsgInfo& e) {
        return e.msgType == topInfo.msgType && e.sender == topInfo.sender && e.msg == topInfo.msg;
    };
    size_t skip = list.size();
    if (!list.empty() && isTop(list.back())) {
        skip = list.size() - 1;
    } else {
        for (size_t i = 0; i < list.size(); ++i) {
            if (isTop(list[i])) {
                skip = i;
                break;
            }
        }
    }
    std::string details;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i == skip) continue;
        if (!details.empty()) details += "\r\n";
        switch (list[i].msgType) {
            case msgWarning: details += "Warnung: " + list[i].msg; break;
            case msgError: details += "Fehler: " + list[i].msg; break;
            default: details += list[i].msg; break;
        }
    }

    if (iAlerts->IsShuttingDown()) return;
    IMsgAlerts::TAnswer answer =
        iAlerts->ShowAlert(kind, caption, text, details, kind == TKind::Warning);
    if (answer == IMsgAlerts::TAnswer::Ignore) {
        for (const auto& entry : list) {
            if (entry.msgType == msgWarning && !entry.sender.empty()) Ignore(entry.sender);
        }
    }
}

// --- MsgHandler -------------------------------------------------------------------------------

namespace {
TMsgHandler* gMsgHandler = nullptr;
bool gDestroyRegistered = false;

void DestroyMsgHandler() {
    TMsgHandler* handler = gMsgHandler;
    gMsgHandler = nullptr;
    // A handler made again while the process ends registers itself anew, so it is written too.
    gDestroyRegistered = false;
    delete handler;
}
}  // namespace

TMsgHandler& MsgHandler() {
    if (gMsgHandler == nullptr) {
        gMsgHandler = new TMsgHandler();
        if (!gDestroyRegistered) {
            gDestroyRegistered = true;
            std::atexit(DestroyMsgHandler);
        }
    }
    return *gMsgHandler;
}

std::unique_ptr<TMsgHandler> ReplaceMsgHandler(std::unique_ptr<TMsgHandler> handler) {
    std::unique_ptr<TMsgHandler> previous(gMsgHandler);
    gMsgHandler = handler.release();
    if (gMsgHandler != nullptr && !gDestroyRegistered) {
        gDestroyRegistered = true;
        std::atexit(DestroyMsgHandler);
    }
    return previous;
}

}  // namespace ombrel
