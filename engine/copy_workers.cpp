#include "engine/copy_workers.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ombrel {

namespace {

// How many runs of files the workers may finish before the caller has passed on the reports of
// the earliest: bounds the reports held in memory.
constexpr size_t kRunsAhead = 8;
// Files per run: small enough that a package of a few large files spreads over the workers,
// large enough that the hand-over costs nothing against the copying and that the workers mostly
// work in different folders.
constexpr size_t kRunFilesMax = 256;

struct TRun {
    size_t begin = 0;
    size_t end = 0;
    TReportQueue queue{true};
    bool copied = false;
    std::exception_ptr failure;
};

}  // namespace

std::optional<bool> CopyOnWorkers(TCopyBuffer& buffer, IOInterface& io, size_t workers,
                                  const TDeliverReport& deliver) {
    const size_t n = buffer.Files.size();
    workers = std::max<size_t>(workers, 1);
    std::vector<std::shared_ptr<TSwitchedMessages>> sinks;
    std::vector<IOInterfacePtr> services;
    for (size_t w = 0; w < workers; ++w) {
        auto sink = std::make_shared<TSwitchedMessages>();
        IOInterfacePtr service = io.ForThread(sink);
        if (!service) return std::nullopt;
        sinks.push_back(std::move(sink));
        services.push_back(std::move(service));
    }

    const size_t perRun = std::clamp<size_t>(n / (workers * kRunsAhead), 1, kRunFilesMax);
    std::vector<std::unique_ptr<TRun>> runs;
    for (size_t begin = 0; begin < n; begin += perRun) {
        runs.push_back(std::make_unique<TRun>());
        runs.back()->begin = begin;
        runs.back()->end = std::min(n, begin + perRun);
    }

    std::mutex mutex;
    std::condition_variable changed;
    size_t next = 0;       // the first run no worker has taken
    size_t passedOn = 0;   // runs whose reports the caller has passed on
    bool stop = false;
    const auto work = [&](IOInterface& service, TSwitchedMessages& sink) {
        for (;;) {
            size_t index;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] {
                    return stop || next >= runs.size() || next < passedOn + kRunsAhead;
                });
                if (stop || next >= runs.size()) return;
                index = next++;
            }
            TRun& run = *runs[index];
            sink.Set(&run.queue);
            try {
                run.copied = buffer.CopyRange(run.begin, run.end, service, run.queue);
            } catch (...) {
                run.failure = std::current_exception();
            }
            sink.Set(nullptr);
            if (!run.copied) {
                std::lock_guard lock(mutex);
                stop = true;
            }
            run.queue.Close();
            changed.notify_all();
        }
    };

    // Ends the workers whichever way this function is left. A run a worker has taken is
    // always finished and closed, so the caller never waits for one that nobody copies.
    struct TWorkers {
        std::mutex& mutex;
        std::condition_variable& changed;
        bool& stop;
        std::vector<std::thread> threads;
        ~TWorkers() {
            {
                std::lock_guard lock(mutex);
                stop = true;
            }
            changed.notify_all();
            for (auto& thread : threads) {
                if (thread.joinable()) thread.join();
            }
        }
    } pool{mutex, changed, stop, {}};
    for (size_t w = 0; w < workers; ++w) {
        pool.threads.emplace_back(work, std::ref(*services[w]), std::ref(*sinks[w]));
    }

    buffer.ReportCopyStart();
    for (size_t index = 0; index < runs.size(); ++index) {
        TRun& run = *runs[index];
        run.queue.Pump(deliver);
        if (run.failure) std::rethrow_exception(run.failure);
        if (!run.copied) return false;
        {
            std::lock_guard lock(mutex);
            passedOn = index + 1;
        }
        changed.notify_all();
    }
    return true;
}

bool RunBeside(IOInterface& io, const std::function<void()>& here,
               const std::function<void(IOInterface&)>& beside, TReportQueue& reports) {
    // The queue outlives the service, which is gone when this function returns.
    IOInterfacePtr other = io.ForThread(IMessagesPtr(&reports, [](IMessages*) {}));
    if (!other) return false;
    std::exception_ptr besideFailure;
    std::thread thread([&] {
        try {
            beside(*other);
        } catch (...) {
            besideFailure = std::current_exception();
        }
        reports.Close();
    });
    std::exception_ptr hereFailure;
    try {
        here();
    } catch (...) {
        hereFailure = std::current_exception();
    }
    thread.join();
    if (hereFailure) std::rethrow_exception(hereFailure);
    if (besideFailure) std::rethrow_exception(besideFailure);
    return true;
}

}  // namespace ombrel
