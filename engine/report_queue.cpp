#include "engine/report_queue.h"

#include <utility>

namespace ombrel {

void TReportQueue::Error(const std::string& msg, const std::string& sender) {
    Add({TKind::Error, msg, sender});
}
void TReportQueue::Warning(const std::string& msg, const std::string& sender) {
    Add({TKind::Warning, msg, sender});
}
void TReportQueue::Log(const std::string& msg, const std::string& sender) {
    Add({TKind::Log, msg, sender});
}
void TReportQueue::Debug(const std::string& msg, const std::string& sender) {
    Add({TKind::Debug, msg, sender});
}
void TReportQueue::Progress(const std::string& caption, int32_t percent) {
    Add({TKind::Progress, caption, "", percent});
}
void TReportQueue::KeepError(const std::string& msg, const std::string& sender) {
    Add({TKind::KeptError, msg, sender});
}
void TReportQueue::Received(const std::string& fileName, int64_t received, int64_t total) {
    Add({TKind::Received, fileName, "", received, total});
}

void TReportQueue::Add(TEntry entry) {
    const bool wake =
        !iWholeAtClose && entry.kind != TKind::Progress && entry.kind != TKind::Received;
    {
        std::lock_guard lock(iMutex);
        if (wake) iUrgent = true;
        if (entry.kind == TKind::Received && !iEntries.empty() &&
            iEntries.back().kind == TKind::Received && iEntries.back().text == entry.text) {
            iEntries.back() = std::move(entry);
        } else {
            iEntries.push_back(std::move(entry));
        }
    }
    if (wake) iChanged.notify_one();
}

void TReportQueue::Close() {
    {
        std::lock_guard lock(iMutex);
        iClosed = true;
    }
    iChanged.notify_one();
}

void TReportQueue::Pump(const std::function<void(const TEntry&)>& deliver) {
    std::deque<TEntry> batch;
    for (;;) {
        bool closed = false;
        {
            std::unique_lock lock(iMutex);
            if (iWholeAtClose) {
                iChanged.wait(lock, [this] { return iClosed; });
            } else {
                // Progress added without a wake-up is picked up at the latest after this long.
                iChanged.wait_for(lock, kProgressInterval, [this] { return iClosed || iUrgent; });
                iUrgent = false;
            }
            batch.swap(iEntries);
            closed = iClosed;
        }
        for (const auto& entry : batch) deliver(entry);
        batch.clear();
        if (closed) {
            std::lock_guard lock(iMutex);
            if (iEntries.empty()) return;
        }
    }
}

}  // namespace ombrel
