#pragma once
// Reports of work done on another thread, held until the run's thread passes them on, so that a
// reader of the log sees them where a run working one step after the other would have made them.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "messages/messages.h"

namespace ombrel {

// Filled by one thread, emptied by another. Besides the sink's levels it carries errors the
// receiver keeps as its own (KeepError) and the byte counts of a download (Received; a count
// following another replaces it, only the latest is of interest).
class TReportQueue : public IMessages {
public:
    // With `wholeAtClose` the receiver is woken only when the queue is closed, not for every
    // entry: for short pieces of work whose reports may as well come at once. Otherwise it is
    // woken for every message; progress and byte counts, which come by the thousand in a large
    // download, wake nobody: the receiver looks for them every kProgressInterval.
    explicit TReportQueue(bool wholeAtClose = false) : iWholeAtClose(wholeAtClose) {}

    static constexpr std::chrono::milliseconds kProgressInterval{20};

    enum class TKind { Error, KeptError, Warning, Log, Debug, Progress, Received };
    struct TEntry {
        TKind kind;
        std::string text;    // message, caption or file name
        std::string sender;
        int64_t a = 0;       // percent, or bytes received
        int64_t b = 0;       // bytes announced
    };

    void Error(const std::string& msg, const std::string& sender) override;
    void Warning(const std::string& msg, const std::string& sender) override;
    void Log(const std::string& msg, const std::string& sender) override;
    void Debug(const std::string& msg, const std::string& sender) override;
    void Progress(const std::string& caption, int32_t percent) override;
    void KeepError(const std::string& msg, const std::string& sender);
    void Received(const std::string& fileName, int64_t received, int64_t total);

    // No more entries follow.
    void Close();
    // Hands every entry to `deliver` on the calling thread, in order, as they come (progress
    // and byte counts at most kProgressInterval late), until the queue is closed and empty.
    // Entries are delivered outside the lock: the filling thread never waits for the receiver.
    void Pump(const std::function<void(const TEntry&)>& deliver);

private:
    void Add(TEntry entry);

    std::mutex iMutex;
    std::condition_variable iChanged;
    std::deque<TEntry> iEntries;
    bool iClosed = false;
    const bool iWholeAtClose;
    bool iUrgent = false;  // an entry other than progress waits
};

// Passes reports on to whichever sink is set now; set and used on one thread.
class TSwitchedMessages : public IMessages {
public:
    void Set(IMessages* target) { iTarget = target; }
    void Error(const std::string& msg, const std::string& sender) override {
        iTarget->Error(msg, sender);
    }
    void Warning(const std::string& msg, const std::string& sender) override {
        iTarget->Warning(msg, sender);
    }
    void Log(const std::string& msg, const std::string& sender) override {
        iTarget->Log(msg, sender);
    }
    void Debug(const std::string& msg, const std::string& sender) override {
        iTarget->Debug(msg, sender);
    }
    void Progress(const std::string& caption, int32_t percent) override {
        iTarget->Progress(caption, percent);
    }

private:
    IMessages* iTarget = nullptr;
};

}  // namespace ombrel
