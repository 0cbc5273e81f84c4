#include "platform/ui_dispatcher.h"

#include <exception>
#include <future>
#include <utility>

namespace ombrel {

void IUiDispatcher::Synchronize(const std::function<void()>& step) {
    if (IsUiThread()) {
        step();
        return;
    }
    // The promise lives on this frame; the step finishes with it before the wait below returns.
    std::promise<void> finished;
    auto result = finished.get_future();
    Post([&step, &finished] {
        // The caught exception is handed over only after its handler has been left, so the
        // worker holds its last reference.
        std::exception_ptr error;
        try {
            step();
        } catch (...) {
            error = std::current_exception();
        }
        if (error) {
            finished.set_exception(std::move(error));
        } else {
            finished.set_value();
        }
    });
    result.get();
}

TEventLoopDispatcher::TEventLoopDispatcher() : iUiThread(std::this_thread::get_id()) {}

bool TEventLoopDispatcher::IsUiThread() const {
    return std::this_thread::get_id() == iUiThread;
}

void TEventLoopDispatcher::Post(std::function<void()> step) {
    {
        std::lock_guard lock(iMutex);
        if (iShutdown) return;
        iSteps.push_back(std::move(step));
    }
    iQueued.notify_one();
}

void TEventLoopDispatcher::Shutdown() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(iMutex);
        iShutdown = true;
        dropped.swap(iSteps);
    }
    // `dropped` is destroyed outside the lock: a step's captures may post in their destructors.
}

bool TEventLoopDispatcher::RunOne(std::chrono::milliseconds timeout) {
    std::function<void()> step;
    {
        std::unique_lock lock(iMutex);
        if (!iQueued.wait_for(lock, timeout, [this] { return !iSteps.empty(); })) return false;
        step = std::move(iSteps.front());
        iSteps.pop_front();
    }
    step();
    return true;
}

int TEventLoopDispatcher::RunPending() {
    size_t count;
    {
        std::lock_guard lock(iMutex);
        count = iSteps.size();
    }
    int ran = 0;
    for (; count > 0; --count) {
        if (!RunOne(std::chrono::milliseconds(0))) break;
        ++ran;
    }
    return ran;
}

bool TEventLoopDispatcher::RunUntil(const std::function<bool()>& done,
                                    std::chrono::milliseconds limit) {
    while (!done()) {
        if (!RunOne(limit)) return done();
    }
    return true;
}

}  // namespace ombrel
