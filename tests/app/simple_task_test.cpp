#include "app/simple_task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/ui_dispatcher.h"

namespace ombrel {
namespace {

using Task = TSimpleTask<int>;

// Released together with the closures that capture it; its destructor tells the UI loop.
struct ReleaseSignal {
    std::shared_ptr<TEventLoopDispatcher> ui;
    std::shared_ptr<bool> released;
    ~ReleaseSignal() {
        if (ui) ui->Post([r = released] { *r = true; });
    }
};

class SimpleTaskTest : public ::testing::Test {
  protected:
    // A token for a closure of the task under test: the task has been destroyed (and its
    // closures released) once WaitUntilReleased returns.
    std::shared_ptr<ReleaseSignal> Token() {
        auto token = std::make_shared<ReleaseSignal>();
        token->ui = ui;
        token->released = released;
        return token;
    }

    void WaitUntilReleased() {
        ASSERT_TRUE(ui->RunUntil([this] { return *released; }))
            << "the task never released its closures";
    }

    bool OnUi() const { return std::this_thread::get_id() == uiThread; }

    // Handlers that record what they received, and on which thread.
    TProc<int> RecordDone() {
        return [this](const int& result) {
            events.push_back("done:" + std::to_string(result));
            allOnUi = allOnUi && OnUi();
        };
    }
    TProc<std::string> RecordError(std::shared_ptr<ReleaseSignal> token) {
        return [this, token](const std::string& text) {
            events.push_back("error:" + text);
            allOnUi = allOnUi && OnUi();
        };
    }

    std::shared_ptr<TEventLoopDispatcher> ui = std::make_shared<TEventLoopDispatcher>();
    std::shared_ptr<bool> released = std::make_shared<bool>(false);
    std::thread::id uiThread = std::this_thread::get_id();
    std::vector<std::string> events;
    bool allOnUi = true;
};

TEST_F(SimpleTaskTest, OutcomesOfTheWorkReachExactlyTheMatchingHandlers) {
    struct Case {
        const char* name;
        TExecuteMethod<int> work;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"true with a result",
         [](int& result, std::string&) {
             result = 42;
             return true;
         },
         {"done:42"}},
        {"true without a result gives the default value",
         [](int&, std::string&) { return true; },
         {"done:0"}},
        {"false with an error text",
         [](int& result, std::string& error) {
             result = 7;
             error = "E";
             return false;
         },
         {"error:E"}},
        {"raising std::exception",
         [](int&, std::string&) -> bool { throw std::runtime_error("M"); },
         {"error:M"}},
        {"raising a derived exception",
         [](int&, std::string&) -> bool { throw std::out_of_range("range"); },
         {"error:range"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        *released = false;
        new Task(c.work, RecordDone(), RecordError(Token()), ui);
        WaitUntilReleased();
        EXPECT_EQ(events, c.expected);
    }
    EXPECT_TRUE(allOnUi);
}

TEST_F(SimpleTaskTest, ARaisingCompletionHandlerEndsInTheErrorHandler) {
    new Task(
        [](int& result, std::string&) {
            result = 1;
            return true;
        },
        [this](const int& result) {
            events.push_back("done:" + std::to_string(result));
            throw std::runtime_error("completion failed");
        },
        RecordError(Token()), ui);
    WaitUntilReleased();
    EXPECT_EQ(events, (std::vector<std::string>{"done:1", "error:completion failed"}));
}

TEST_F(SimpleTaskTest, ARaisingErrorHandlerIsCalledOnceMoreWithItsOwnMessage) {
    int calls = 0;
    new Task(
        [](int&, std::string& error) {
            error = "E";
            return false;
        },
        RecordDone(),
        [this, &calls, token = Token()](const std::string& text) {
            events.push_back("error:" + text);
            ++calls;
            // Both calls raise; the second exception is swallowed by the task.
            throw std::runtime_error("handler failed " + std::to_string(calls));
        },
        ui);
    WaitUntilReleased();
    EXPECT_EQ(events, (std::vector<std::string>{"error:E", "error:handler failed 1"}));
}

TEST_F(SimpleTaskTest, AnErrorHandlerRaisingSomethingElseOnTheExceptionPathIsSwallowed) {
    new Task([](int&, std::string&) -> bool { throw std::runtime_error("M"); }, RecordDone(),
             [this, token = Token()](const std::string& text) {
                 events.push_back("error:" + text);
                 throw 17;  // not a std::exception: still swallowed on this path
             },
             ui);
    WaitUntilReleased();
    EXPECT_EQ(events, (std::vector<std::string>{"error:M"}));
}

TEST_F(SimpleTaskTest, WithoutAnExecuteMethodNoHandlerRunsAndTheTaskEnds) {
    new Task(TExecuteMethod<int>(), RecordDone(), RecordError(Token()), ui);
    WaitUntilReleased();
    EXPECT_TRUE(events.empty());
}

TEST_F(SimpleTaskTest, ProgressReachesTheHandlerOnTheUiThreadAndCarriesTheStopFlag) {
    // What the work saw after each progress call: the stop flag it passed and got back.
    std::vector<std::pair<bool, bool>> seen;
    std::vector<std::string> progress;
    auto work = [&seen](const TProgressProc& report, int& result, std::string&) {
        const std::pair<const char*, bool> calls[] = {
            {"keep", false}, {"stop", false}, {"raise", false}, {"raise", true}, {"keep", true}};
        int percent = 0;
        for (const auto& [caption, flag] : calls) {
            bool doStop = flag;
            report(doStop, caption, percent += 20);
            seen.emplace_back(flag, doStop);
        }
        result = 5;
        return true;
    };
    auto handler = [this, &progress](bool& doStop, const std::string& caption, int32_t percent) {
        progress.push_back(caption + ":" + std::to_string(percent));
        allOnUi = allOnUi && OnUi();
        if (caption == "stop") doStop = true;
        if (caption == "raise") {
            doStop = !doStop;  // changed, but lost because the handler raises
            throw std::runtime_error("progress handler failed");
        }
    };
    new Task(TProgressExecuteMethod<int>(work), handler, RecordDone(), RecordError(Token()), ui);
    WaitUntilReleased();

    EXPECT_EQ(progress,
              (std::vector<std::string>{"keep:20", "stop:40", "raise:60", "raise:80", "keep:100"}));
    EXPECT_EQ(seen,
              (std::vector<std::pair<bool, bool>>{
                  {false, false}, {false, true}, {false, false}, {true, true}, {true, true}}));
    EXPECT_EQ(events, (std::vector<std::string>{"done:5"}));
    EXPECT_TRUE(allOnUi);
}

TEST_F(SimpleTaskTest, ProgressWithoutAHandlerLeavesTheStopFlagAsPassed) {
    std::vector<bool> seen;
    auto work = [&seen](const TProgressProc& report, int&, std::string&) {
        for (bool flag : {false, true}) {
            bool doStop = flag;
            report(doStop, "x", 1);
            seen.push_back(doStop);
        }
        return true;
    };
    new Task(TProgressExecuteMethod<int>(work), nullptr, RecordDone(), RecordError(Token()), ui);
    WaitUntilReleased();
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
    EXPECT_EQ(events, (std::vector<std::string>{"done:0"}));
}

TEST_F(SimpleTaskTest, UnsynchronizedHandlersRunOnTheWorkerAndTheOwnerWaitsOnDestruction) {
    std::atomic<bool> handlerOnUi{true};
    std::atomic<bool> workEnded{false};
    std::promise<void> release;
    auto go = release.get_future().share();
    auto* task = new Task(
        [go, &workEnded](int& result, std::string&) {
            go.wait();
            result = 3;
            workEnded = true;
            return true;
        },
        [&](const int&) { handlerOnUi = OnUi(); }, false, false, nullptr, nullptr, nullptr);
    release.set_value();
    delete task;  // joins the worker
    EXPECT_TRUE(workEnded);
    EXPECT_FALSE(handlerOnUi);
}

TEST_F(SimpleTaskTest, ASynchronizedTaskWithoutDispatcherIsRefusedBeforeAnyWorkRuns) {
    std::atomic<bool> ran{false};
    EXPECT_THROW(new Task(
                     [&ran](int&, std::string&) {
                         ran = true;
                         return true;
                     },
                     nullptr, nullptr, nullptr),
                 std::invalid_argument);
    EXPECT_FALSE(ran);
}

TEST_F(SimpleTaskTest, HandlersAreDeliveredOneAtATimeInOrderWhileTheWorkerWaits) {
    // The work reports progress and then checks that each report had already been handled
    // when the call returned.
    std::vector<int> handled;
    std::vector<size_t> countSeenByWork;
    auto work = [&](const TProgressProc& report, int&, std::string&) {
        for (int i = 0; i < 20; ++i) {
            bool doStop = false;
            report(doStop, "step", i);
            countSeenByWork.push_back(handled.size());
        }
        return true;
    };
    new Task(
        TProgressExecuteMethod<int>(work),
        [&handled](bool&, const std::string&, int32_t percent) { handled.push_back(percent); },
        RecordDone(), RecordError(Token()), ui);
    WaitUntilReleased();
    ASSERT_EQ(countSeenByWork.size(), 20u);
    for (size_t i = 0; i < countSeenByWork.size(); ++i) EXPECT_EQ(countSeenByWork[i], i + 1);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(handled[i], i);
}

}  // namespace
}  // namespace ombrel
