#include "messages/std_messages.h"

#include <utility>

namespace ombrel {

TMessages::TMessages(TOnMessage OnError, TOnMessage OnWarning, TOnMessage OnLog,
                     TOnMessage OnDebug, TOnProgress OnProgress)
    : OnError(std::move(OnError)),
      OnWarning(std::move(OnWarning)),
      OnLog(std::move(OnLog)),
      OnDebug(std::move(OnDebug)),
      OnProgress(std::move(OnProgress)) {}

void TMessages::Error(const std::string& msg, const std::string& sender) {
    IsError = true;
    if (OnError) OnError(msg, sender);
}

void TMessages::Warning(const std::string& msg, const std::string& sender) {
    if (OnWarning) OnWarning(msg, sender);
}

void TMessages::Log(const std::string& msg, const std::string& sender) {
    if (OnLog) OnLog(msg, sender);
}

void TMessages::Debug(const std::string& msg, const std::string& sender) {
    if (OnDebug) OnDebug(msg, sender);
}

void TMessages::Progress(const std::string& caption, int32_t percent) {
    if (OnProgress) OnProgress(caption, percent);
}

}  // namespace ombrel
