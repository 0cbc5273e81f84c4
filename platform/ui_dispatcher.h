#pragma once
// The hand-off from worker threads to the UI thread.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace ombrel {

// One UI thread runs the steps that other threads hand to it, one at a time, in the order they
// were posted. Implementations: the GUI toolkit's event loop in the installer, TEventLoopDispatcher
// in tests and headless runs.
class IUiDispatcher {
  public:
    virtual ~IUiDispatcher() = default;

    // True when called on the UI thread.
    virtual bool IsUiThread() const = 0;

    // Queues a step to run on the UI thread and returns at once; callable from any thread. After
    // Shutdown the step is dropped without running. A step must not let an exception escape.
    virtual void Post(std::function<void()> step) = 0;

    // From now on posted steps, and those still queued, are dropped. The UI thread calls this when
    // the window that the steps draw on goes away; a worker that then synchronizes waits for
    // good, which is harmless because the process is ending.
    virtual void Shutdown() = 0;

    // Runs the step on the UI thread and waits until it has returned. An exception raised by the
    // step is raised again here, on the caller's thread. On the UI thread itself the step runs
    // directly. The UI thread must keep processing its queue, or a worker caller never returns.
    void Synchronize(const std::function<void()>& step);
};

using IUiDispatcherPtr = std::shared_ptr<IUiDispatcher>;

// A plain event loop: the thread that creates it is its UI thread, and that thread runs the
// queued steps by calling RunOne, RunPending or RunUntil. Usable without any GUI toolkit.
class TEventLoopDispatcher : public IUiDispatcher {
  public:
    TEventLoopDispatcher();

    bool IsUiThread() const override;
    void Post(std::function<void()> step) override;
    void Shutdown() override;

    // UI thread only. Waits up to `timeout` for a step, runs it, and answers whether one ran.
    bool RunOne(std::chrono::milliseconds timeout);
    // UI thread only. Runs the steps queued at this moment (not those they post); answers how many.
    int RunPending();
    // UI thread only. Runs steps until `done` answers true, checking it before the first and
    // after every step; gives up after `limit` without a step. Answers the last answer of `done`.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(60));

  private:
    std::thread::id iUiThread;
    mutable std::mutex iMutex;
    std::condition_variable iQueued;
    std::deque<std::function<void()>> iSteps;
    bool iShutdown = false;
};

}  // namespace ombrel
