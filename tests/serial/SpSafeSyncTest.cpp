#include "serial/SpSafeSync.h"

#include "Pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kt::serial {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::pumpUntil;

// Long enough that a worker only gives up when the dispatcher is broken.
constexpr std::uint32_t kPatientMs = 20000;

class SpSafeSyncTest : public ::testing::Test {
protected:
    void SetUp() override { SetSyncMainThread(); }
    void TearDown() override
    {
        for (auto id : ids_)
            UnregisterSyncObj(id);
        SetSyncExceptionHandler(nullptr);
        SetSyncWaker(nullptr);
        ServeSyncCalls();
    }

    std::uint32_t registerEnabled(SyncCallback callback)
    {
        const auto id = RegisterSyncObj(std::move(callback));
        ids_.push_back(id);
        EXPECT_TRUE(EnableSyncObj(id, true));
        return id;
    }

    // CallSyncObj on a worker thread while the main thread serves.
    bool callFromWorker(std::uint32_t id, std::uint32_t timeoutMs = kPatientMs)
    {
        auto result = std::async(std::launch::async, [=] { return CallSyncObj(id, timeoutMs); });
        EXPECT_TRUE(pumpUntil([&] { return result.wait_for(0s) == std::future_status::ready; }, 30s));
        return result.get();
    }

    std::vector<std::uint32_t> ids_;
};

TEST_F(SpSafeSyncTest, CallbackRunsOnMainThreadBeforeWorkerReturns)
{
    std::thread::id ranOn;
    int slotSeen = 0;
    const auto id = registerEnabled([&](int slot) {
        std::this_thread::sleep_for(20ms);  // the worker must still be waiting
        ranOn = std::this_thread::get_id();
        slotSeen = slot;
    });
    std::atomic<bool> sawCallback{false};
    auto worker = std::async(std::launch::async, [&] {
        const bool ok = CallSyncObj(id, kPatientMs);
        sawCallback = slotSeen != 0;
        return ok;
    });
    ASSERT_TRUE(pumpUntil([&] { return worker.wait_for(0s) == std::future_status::ready; }, 30s));
    EXPECT_TRUE(worker.get());
    EXPECT_TRUE(sawCallback);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_GE(slotSeen, 1);
    EXPECT_LE(slotSeen, 64);
}

TEST_F(SpSafeSyncTest, SixtyFifthRegistrationGetsNoSlot)
{
    std::vector<std::uint32_t> ids;
    for (int i = 0; i < 64; ++i) {
        const auto id = RegisterSyncObj([](int) {});
        ids_.push_back(id);
        ASSERT_NE(id, 0u) << "registration " << i + 1;
        ids.push_back(id);
    }
    EXPECT_EQ(RegisterSyncObj([](int) {}), 0u);
    EXPECT_FALSE(CallSyncObj(0, 100));

    // A released slot is handed out again, under a new identifier.
    ASSERT_TRUE(UnregisterSyncObj(ids[10]));
    const auto again = RegisterSyncObj([](int) {});
    ids_.push_back(again);
    EXPECT_NE(again, 0u);
    EXPECT_NE(again, ids[10]);
}

TEST_F(SpSafeSyncTest, SlotThatWasNeverEnabledIsNotRun)
{
    bool ran = false;
    const auto id = RegisterSyncObj([&](int) { ran = true; });
    ids_.push_back(id);
    EXPECT_FALSE(callFromWorker(id));
    EXPECT_FALSE(WaitSyncCalls(Clock::now() + 20ms)) << "nothing should have been handed over";
    EXPECT_FALSE(ran);
}

TEST_F(SpSafeSyncTest, ThrowingCallbackGoesToTheDisplayNotTheWorker)
{
    std::string shown;
    std::thread::id shownOn;
    SetSyncExceptionHandler([&](std::exception_ptr error) {
        shownOn = std::this_thread::get_id();
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            shown = e.what();
        }
    });
    const auto id = registerEnabled([](int) { throw std::runtime_error("handler failed"); });
    EXPECT_TRUE(callFromWorker(id));
    EXPECT_EQ(shown, "handler failed");
    EXPECT_EQ(shownOn, std::this_thread::get_id());
}

TEST_F(SpSafeSyncTest, TimedOutHandOverIsDroppedAndNeverRunsLater)
{
    int runs = 0;
    const auto id = registerEnabled([&](int) { ++runs; });
    // The main thread serves nothing while the worker waits.
    const bool result = std::async(std::launch::async, [=] { return CallSyncObj(id, 100); }).get();
    EXPECT_TRUE(result) << "the slot is still enabled, so the timeout alone does not make it false";
    EXPECT_EQ(ServeSyncCalls(), 0);
    EXPECT_EQ(runs, 0);
}

TEST_F(SpSafeSyncTest, DisablingTheSlotReleasesAWaitingWorkerAtOnce)
{
    bool ran = false;
    const auto id = registerEnabled([&](int) { ran = true; });
    const auto started = Clock::now();
    auto worker = std::async(std::launch::async, [=] { return CallSyncObj(id, kPatientMs); });
    ASSERT_TRUE(WaitSyncCalls(Clock::now() + 10s)) << "the worker never handed over";
    EXPECT_TRUE(EnableSyncObj(id, false));
    EXPECT_FALSE(worker.get());
    EXPECT_LT(Clock::now() - started, 10s) << "the worker waited for its own timeout";
    ServeSyncCalls();
    EXPECT_FALSE(ran);
}

TEST_F(SpSafeSyncTest, CallbackMayRegisterAndReleaseSlots)
{
    bool nestedOk = false;
    const auto id = registerEnabled([&](int) {
        const auto inner = RegisterSyncObj([](int) {});
        nestedOk = inner != 0 && EnableSyncObj(inner, true) && UnregisterSyncObj(inner);
    });
    EXPECT_TRUE(callFromWorker(id));
    EXPECT_TRUE(nestedOk);
}

TEST_F(SpSafeSyncTest, CallbackMayReleaseItsOwnSlot)
{
    std::uint32_t id = 0;
    id = registerEnabled([&](int) { UnregisterSyncObj(id); });
    EXPECT_FALSE(callFromWorker(id)) << "the slot is gone after the hand-over";
}

// A host with its own event loop: the waker posts to it from the worker's
// thread, and the host calls ServeSyncCalls on the main thread.
TEST_F(SpSafeSyncTest, WakerLetsAHostLoopServeHandOvers)
{
    std::mutex mutex;
    std::condition_variable posted;
    int posts = 0;
    std::thread::id wokenFrom;
    SetSyncWaker([&] {
        std::lock_guard lock(mutex);
        wokenFrom = std::this_thread::get_id();
        ++posts;
        posted.notify_all();
    });
    bool ran = false;
    const auto id = registerEnabled([&](int) { ran = true; });
    auto worker = std::async(std::launch::async, [=] { return CallSyncObj(id, kPatientMs); });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(posted.wait_for(lock, 10s, [&] { return posts > 0; }));
    }
    EXPECT_EQ(ServeSyncCalls(), 1);
    EXPECT_TRUE(worker.get());
    EXPECT_TRUE(ran);
    EXPECT_NE(wokenFrom, std::this_thread::get_id());
}

TEST_F(SpSafeSyncTest, WaitReturnsFalseAtTheDeadlineWhenIdle)
{
    const auto deadline = Clock::now() + 30ms;
    EXPECT_FALSE(WaitSyncCalls(deadline));
    EXPECT_GE(Clock::now(), deadline);
}

TEST_F(SpSafeSyncTest, ServingOffTheMainThreadRunsNothing)
{
    bool ran = false;
    const auto id = registerEnabled([&](int) { ran = true; });
    auto worker = std::async(std::launch::async, [=] { return CallSyncObj(id, kPatientMs); });
    ASSERT_TRUE(WaitSyncCalls(Clock::now() + 10s));
    EXPECT_EQ(std::async(std::launch::async, [] { return ServeSyncCalls(); }).get(), 0);
    EXPECT_FALSE(ran);
    ASSERT_TRUE(pumpUntil([&] { return worker.wait_for(0s) == std::future_status::ready; }, 30s));
    EXPECT_TRUE(ran);
}

TEST_F(SpSafeSyncTest, ErrorShownFromAWorkerAppearsOnTheMainThread)
{
    std::thread::id shownOn;
    SetSyncExceptionHandler([&](std::exception_ptr) { shownOn = std::this_thread::get_id(); });
    std::thread([] { ShowSyncException(std::make_exception_ptr(std::runtime_error("worker failed"))); }).join();
    ASSERT_TRUE(WaitSyncCalls(Clock::now() + 10s));
    EXPECT_EQ(ServeSyncCalls(), 1);
    EXPECT_EQ(shownOn, std::this_thread::get_id());
}

// Several devices at once: each thread with a scope of its own serves the
// hand-overs of its own workers, and one device's thread that is busy (here:
// blocked until the other's hand-over ran) never holds up another's. Were the
// scopes ignored, both hand-overs would queue for the program's main thread,
// which does not serve here, and the test would end on its timeouts.
TEST_F(SpSafeSyncTest, ThreadScopesServeTheirOwnWorkersOnly)
{
    struct Device {
        std::thread::id thread;
        std::thread::id ranOn;
        std::promise<void> served;
        bool workerResult = false;
    };
    Device first;
    Device second;
    auto firstServed = first.served.get_future();
    auto run = [](Device& device, std::shared_future<void> waitFor) {
        SyncThreadScope scope;
        device.thread = std::this_thread::get_id();
        const auto id = RegisterSyncObj([&](int) {
            device.ranOn = std::this_thread::get_id();
            device.served.set_value();
        });
        EXPECT_TRUE(EnableSyncObj(id, true));
        // The worker takes its dispatcher with it, as a port's workers do.
        std::thread worker([&device, id, dispatcher = CurrentSyncDispatcher()] {
            UseSyncDispatcher(dispatcher);
            device.workerResult = CallSyncObj(id, kPatientMs);
        });
        if (waitFor.valid()) {
            EXPECT_EQ(waitFor.wait_for(15s), std::future_status::ready) << "the other thread's hand-over never ran";
        }
        const bool done = ServeSyncCallsUntil([&] { return device.ranOn != std::thread::id(); }, Clock::now() + 15s);
        EXPECT_TRUE(done);
        worker.join();
        UnregisterSyncObj(id);
    };
    std::thread secondThread(run, std::ref(second), firstServed.share());
    std::thread firstThread(run, std::ref(first), std::shared_future<void>());
    firstThread.join();
    secondThread.join();
    EXPECT_EQ(first.ranOn, first.thread);
    EXPECT_EQ(second.ranOn, second.thread);
    EXPECT_TRUE(first.workerResult);
    EXPECT_TRUE(second.workerResult);
}

// A change the main thread only learns of by asking (a device gone) hands
// nothing over; the wake alone must end the main thread's wait, also when it
// comes just before the wait begins.
class SpSafeSyncWakeTest : public SpSafeSyncTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SpSafeSyncWakeTest, EndsOneWaitWithNothingToRun)
{
    const bool beforeTheWait = GetParam();
    std::atomic<bool> posted{false};
    SetSyncWaker([&] { posted = true; });
    std::thread worker([=] {
        if (!beforeTheWait)
            std::this_thread::sleep_for(50ms);
        WakeSyncMainThread();
    });
    if (beforeTheWait)
        worker.join();
    const auto started = Clock::now();
    EXPECT_TRUE(WaitSyncCalls(started + 20s));
    EXPECT_LT(Clock::now() - started, 5s) << "the wait ran to its deadline";
    if (!beforeTheWait)
        worker.join();
    EXPECT_TRUE(posted) << "a host waiting in a loop of its own was not woken";
    EXPECT_EQ(ServeSyncCalls(), 0);
    EXPECT_FALSE(WaitSyncCalls(Clock::now() + 20ms)) << "one wake ended a second wait";
}

INSTANTIATE_TEST_SUITE_P(Wake, SpSafeSyncWakeTest, ::testing::Bool(),
                         [](const auto& row) { return row.param ? "BeforeTheWait" : "DuringTheWait"; });

}  // namespace
}  // namespace kt::serial
