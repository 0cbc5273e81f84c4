#pragma once
// Interfaces.Messages: the single channel through which the engine and its services report.

#include <cstdint>
#include <memory>
#include <string>

namespace ombrel {

// Receives errors, warnings, log lines, debug lines and progress. Every call is synchronous:
// the report has been handled when the call returns. Implementations pass texts on unchanged
// and do not clamp the percent. Exceptions thrown by a receiver travel back to the reporter.
class IMessages {
public:
    virtual ~IMessages() = default;

    virtual void Error(const std::string& msg, const std::string& sender) = 0;
    virtual void Warning(const std::string& msg, const std::string& sender) = 0;
    virtual void Log(const std::string& msg, const std::string& sender) = 0;
    virtual void Debug(const std::string& msg, const std::string& sender) = 0;
    virtual void Progress(const std::string& caption, int32_t percent) = 0;
};

using IMessagesPtr = std::shared_ptr<IMessages>;

}  // namespace ombrel
