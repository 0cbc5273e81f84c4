#pragma once
// Std.Messages: the standard sink, forwarding every report to a callback of its owner.

#include <functional>

#include "messages/messages.h"

namespace ombrel {

using TOnMessage = std::function<void(const std::string& msg, const std::string& sender)>;
using TOnProgress = std::function<void(const std::string& caption, int32_t percent)>;

// Forwards each report to the matching callback, on the caller's thread. Any callback may be
// empty; an empty callback drops its reports. Keeps no buffer and filters nothing.
class TMessages : public IMessages {
public:
    TMessages(TOnMessage OnError, TOnMessage OnWarning, TOnMessage OnLog, TOnMessage OnDebug,
              TOnProgress OnProgress);

    void Error(const std::string& msg, const std::string& sender) override;
    void Warning(const std::string& msg, const std::string& sender) override;
    void Log(const std::string& msg, const std::string& sender) override;
    void Debug(const std::string& msg, const std::string& sender) override;
    void Progress(const std::string& caption, int32_t percent) override;

    // False after construction; true for good once Error has been called (even with no
    // OnError). Written without synchronisation; it only ever changes from false to true.
    bool IsError = false;

private:
    TOnMessage OnError;
    TOnMessage OnWarning;
    TOnMessage OnLog;
    TOnMessage OnDebug;
    TOnProgress OnProgress;
};

}  // namespace ombrel
