#pragma once
// uSimpleTask: one piece of work on a worker thread of its own, reporting through closures.

#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "platform/ui_dispatcher.h"

namespace ombrel {

// Progress procedure handed to the work: (in-out stop flag, caption, percent). Setting the stop
// flag is only a message from the progress handler to the work; nothing is interrupted.
using TProgressProc =
    std::function<void(bool& doStop, const std::string& caption, int32_t percent)>;

template <typename T>
using TExecuteMethod = std::function<bool(T& result, std::string& errorText)>;

template <typename T>
using TProgressExecuteMethod =
    std::function<bool(const TProgressProc& progress, T& result, std::string& errorText)>;

template <typename T>
using TProc = std::function<void(const T& value)>;

// Runs its work once, on a worker thread that starts when construction has completed, and then
// delivers exactly one of the two completion handlers (see Execute for the exceptions to this).
// With doSynchronized every handler runs on the dispatcher's UI thread while the worker waits, so
// handlers may touch the user interface; otherwise handlers run on the worker.
//
// Ownership: with doFreeThread the task deletes itself after its work and handlers are done, so
// it must be created with `new` and the creator keeps no pointer. Without doFreeThread the creator
// owns it; destroying it waits for the worker to finish.
//
// Exceptions: the work and the handlers report failure by raising std::exception (or a type
// derived from it); its what() becomes the error text. Any other thrown object is not caught on
// the work path and ends the process through std::terminate, as an unhandled exception on a
// thread does.
template <typename T>
class TSimpleTask final {
  public:
    // The full form. `dispatcher` is needed when doSynchronized is true (std::invalid_argument
    // otherwise, raised before any thread starts).
    TSimpleTask(TExecuteMethod<T> executeMethod, TProc<T> completionHandler, bool doSynchronized,
                bool doFreeThread, TProgressProc progressHandler,
                TProc<std::string> completionHandlerWithError, IUiDispatcherPtr dispatcher = {})
        : TSimpleTask(Unstarted{}, std::move(executeMethod), std::move(completionHandler),
                      doSynchronized, doFreeThread, std::move(progressHandler),
                      std::move(completionHandlerWithError), std::move(dispatcher)) {
        Start();
    }

    // Synchronized, self-destroying, no progress handler.
    TSimpleTask(TExecuteMethod<T> executeMethod, TProc<T> completionHandler,
                TProc<std::string> completionHandlerWithError, IUiDispatcherPtr dispatcher)
        : TSimpleTask(Unstarted{}, std::move(executeMethod), std::move(completionHandler), true,
                      true, nullptr, std::move(completionHandlerWithError), std::move(dispatcher)) {
        Start();
    }

    // Work that reports progress; synchronized and self-destroying.
    TSimpleTask(TProgressExecuteMethod<T> executeMethod, TProgressProc progressHandler,
                TProc<T> completionHandler, TProc<std::string> completionHandlerWithError,
                IUiDispatcherPtr dispatcher)
        : TSimpleTask(Unstarted{}, nullptr, std::move(completionHandler), true, true,
                      std::move(progressHandler), std::move(completionHandlerWithError),
                      std::move(dispatcher)) {
        iExecuteMethodWithProgress = std::move(executeMethod);
        Start();
    }

    ~TSimpleTask() {
        if (iThread.joinable()) {
            if (iThread.get_id() == std::this_thread::get_id()) {
                iThread.detach();
            } else {
                iThread.join();
            }
        }
    }

    TSimpleTask(const TSimpleTask&) = delete;
    TSimpleTask& operator=(const TSimpleTask&) = delete;

  private:
    struct Unstarted {};

    TSimpleTask(Unstarted, TExecuteMethod<T> executeMethod, TProc<T> completionHandler,
                bool doSynchronized, bool doFreeThread, TProgressProc progressHandler,
                TProc<std::string> completionHandlerWithError, IUiDispatcherPtr dispatcher)
        : iCompletionHandler(std::move(completionHandler)),
          iCompletionHandlerWithError(std::move(completionHandlerWithError)),
          iProgressHandler(std::move(progressHandler)),
          iExecuteMethod(std::move(executeMethod)),
          iSynchronized(doSynchronized),
          iFreeOnTerminate(doFreeThread),
          iDispatcher(std::move(dispatcher)) {
        if (iSynchronized && !iDispatcher) {
            throw std::invalid_argument("TSimpleTask: a synchronized task needs a UI dispatcher");
        }
    }

    // Called last in every public constructor. The worker waits until the std::thread handle
    // has been stored (and detached), so a fast self-destroying run never outraces it.
    void Start() {
        std::promise<void> stored;
        auto go = stored.get_future();
        iThread = std::thread([this, go = std::move(go)]() mutable {
            go.wait();
            Run();
        });
        if (iFreeOnTerminate) iThread.detach();
        stored.set_value();
    }

    void Run() {
        Execute();
        if (iFreeOnTerminate) delete this;
    }

    void Deliver(const std::function<void()>& step) {
        if (iSynchronized) {
            iDispatcher->Synchronize(step);
        } else {
            step();
        }
    }

    void DeliverCompletion() {
        Deliver([this] {
            if (iCompletionHandler) iCompletionHandler(iCurrentResult);
        });
    }

    void DeliverError() {
        Deliver([this] {
            if (iCompletionHandlerWithError) iCompletionHandlerWithError(iCurrentError);
        });
    }

    // The progress procedure handed to the work.
    void ReportProgress(bool& doStop, const std::string& caption, int32_t percent) {
        iCurrentDoStop = doStop;
        iCurrentProgressPercent = percent;
        iCurrentProgressCaption = caption;
        try {
            Deliver([this] {
                if (iProgressHandler) {
                    iProgressHandler(iCurrentDoStop, iCurrentProgressCaption,
                                     iCurrentProgressPercent);
                }
            });
        } catch (...) {
            // A failing progress handler must not reach the work; the stop flag stays as passed.
            return;
        }
        doStop = iCurrentDoStop;
    }

    // The worker thread's body.
    void Execute() {
        const TProgressProc progress = [this](bool& doStop, const std::string& caption,
                                              int32_t percent) {
            ReportProgress(doStop, caption, percent);
        };
        try {
            if (iExecuteMethod || iExecuteMethodWithProgress) {
                // A work that answers true without giving a result out hands on T{}.
                T result{};
                std::string errorText;
                const bool ok = iExecuteMethod
                                    ? iExecuteMethod(result, errorText)
                                    : iExecuteMethodWithProgress(progress, result, errorText);
                if (ok) {
                    iCurrentResult = std::move(result);
                    DeliverCompletion();
                } else {
                    iCurrentError = std::move(errorText);
                    DeliverError();
                }
            }
        } catch (const std::exception& e) {
            iCurrentError = e.what();
            if (iCompletionHandlerWithError) {
                try {
                    DeliverError();
                } catch (...) {
                    // Nothing is left to report it to.
                }
            }
        }
    }

    TProc<T> iCompletionHandler;
    TProc<std::string> iCompletionHandlerWithError;
    TProgressProc iProgressHandler;
    TExecuteMethod<T> iExecuteMethod;
    TProgressExecuteMethod<T> iExecuteMethodWithProgress;
    bool iSynchronized;
    T iCurrentResult{};
    std::string iCurrentError;
    int32_t iCurrentProgressPercent = 0;
    std::string iCurrentProgressCaption;
    bool iCurrentDoStop = false;

    bool iFreeOnTerminate;
    IUiDispatcherPtr iDispatcher;
    std::thread iThread;
};

}  // namespace ombrel
