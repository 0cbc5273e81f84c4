#include "platform/ui_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

namespace ombrel {
namespace {

TEST(EventLoopDispatcherTest, SynchronizeRunsOnTheUiThreadAndWaits) {
    auto ui = std::make_shared<TEventLoopDispatcher>();
    const auto uiThread = std::this_thread::get_id();
    std::thread::id ranOn;
    std::atomic<bool> workerBack{false};
    std::thread worker([&] {
        EXPECT_FALSE(ui->IsUiThread());
        ui->Synchronize([&] { ranOn = std::this_thread::get_id(); });
        workerBack = true;
        ui->Post([] {});
    });
    ASSERT_TRUE(ui->RunUntil([&] { return workerBack.load(); }));
    worker.join();
    EXPECT_EQ(ranOn, uiThread);
    EXPECT_TRUE(ui->IsUiThread());
}

TEST(EventLoopDispatcherTest, AnExceptionOfTheStepIsRaisedAgainOnTheWorker) {
    auto ui = std::make_shared<TEventLoopDispatcher>();
    std::promise<std::string> caught;
    auto result = caught.get_future();
    std::thread worker([&] {
        try {
            ui->Synchronize([] { throw std::runtime_error("from the UI thread"); });
            caught.set_value("nothing");
        } catch (const std::runtime_error& e) {
            caught.set_value(e.what());
        }
    });
    ASSERT_TRUE(ui->RunOne(std::chrono::seconds(60)));
    worker.join();
    EXPECT_EQ(result.get(), "from the UI thread");
}

TEST(EventLoopDispatcherTest, OnTheUiThreadSynchronizeRunsDirectlyAndRaisesDirectly) {
    auto ui = std::make_shared<TEventLoopDispatcher>();
    bool ran = false;
    ui->Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(ui->RunPending(), 0) << "nothing may have been queued";
    EXPECT_THROW(ui->Synchronize([] { throw std::logic_error("x"); }), std::logic_error);
}

TEST(EventLoopDispatcherTest, StepsRunInOrderAndShutdownDropsTheRest) {
    auto ui = std::make_shared<TEventLoopDispatcher>();
    std::string order;
    ui->Post([&] {
        order += "a";
        ui->Post([&] { order += "c"; });  // queued during RunPending: runs in the next round
    });
    ui->Post([&] { order += "b"; });
    EXPECT_EQ(ui->RunPending(), 2);
    EXPECT_EQ(order, "ab");
    ui->Shutdown();
    ui->Post([&] { order += "d"; });
    EXPECT_EQ(ui->RunPending(), 0);
    EXPECT_EQ(order, "ab");
}

}  // namespace
}  // namespace ombrel
