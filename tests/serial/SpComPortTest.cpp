#include "serial/SpComPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PtyPair.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::PtyPair;
using test::pumpFor;
using test::pumpUntil;

// Generous bounds for a loaded two-core machine; a healthy run takes a fraction.
constexpr auto kArrival = 5s;
constexpr auto kQuiet = 300ms;
// How long after a write or wait has begun the far end acts, in tests of what
// ends that write or wait.
constexpr auto kFarEndActsAfter = 50ms;
// A main-thread wait that only a wake ends within the tests' bounds.
constexpr auto kLongWait = 20s;
// The device link's largest command frame: two of them overfill the 2048-byte ring.
constexpr int kLargestFrame = 1033;

// The application's own settings for its port.
void configureLikeTheApplication(TSpComPort& port, const std::string& path)
{
    port.SetName("Comm1");
    port.SetBaudRate(1000000);
    port.SetInBufSize(2048);
    port.SetWriteThreadPriority(tpHigher);
    port.SetComPort(path);
}

template <typename F>
std::string errorText(F&& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

class SpComPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetSyncMainThread();
        SetSyncExceptionHandler([this](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                shown_.push_back(e.what());
            }
        });
        configureLikeTheApplication(port_, pty_.slavePath());
    }
    void TearDown() override
    {
        // Handlers may capture locals of the test body, which are gone by now.
        // OnNonSyncEvent runs on the event thread: tests that set it close first.
        port_.OnPortClose = nullptr;
        port_.Close();
        SetSyncExceptionHandler(nullptr);
    }

    // A handler that reads every waiting byte, as the application's does.
    void collectReceived()
    {
        port_.OnDataReceived = [this](TSpCustomSerialPort& sender, int) {
            received_ += sender.ReadString();
            receivedOn_ = std::this_thread::get_id();
        };
    }

    bool receivedAtLeast(std::size_t count)
    {
        return pumpUntil([&] { return received_.size() >= count; }, kArrival);
    }

    PtyPair pty_;
    TSpComPort port_;
    std::string received_;
    std::optional<std::thread::id> receivedOn_;
    std::vector<std::string> shown_;
};

TEST_F(SpComPortTest, OpenCloseAndReopenCarryDataBothWays)
{
    collectReceived();
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        received_.clear();
        port_.Open();
        ASSERT_TRUE(port_.Active());
        pty_.send("PFLASH\r");
        ASSERT_TRUE(receivedAtLeast(7));
        EXPECT_EQ(received_, "PFLASH\r");
        port_.WriteString(std::string("\x1bn\0\r", 4));
        EXPECT_EQ(pty_.receive(4, kArrival), std::string("\x1bn\0\r", 4));
        port_.Close();
        EXPECT_FALSE(port_.Active());
    }
}

TEST_F(SpComPortTest, EventsFireOnTheMainThread)
{
    collectReceived();
    port_.Open();
    pty_.send("x");
    ASSERT_TRUE(receivedAtLeast(1));
    EXPECT_EQ(receivedOn_, std::this_thread::get_id());
}

TEST_F(SpComPortTest, OpenOnAnOpenPortDoesNothing)
{
    int opens = 0;
    port_.OnPortOpen = [&](TSpCustomSerialPort&) { ++opens; };
    port_.Open();
    EXPECT_NO_THROW(port_.Open());
    EXPECT_EQ(opens, 1);
    EXPECT_TRUE(port_.Active());
}

TEST_F(SpComPortTest, CloseOnAClosedPortOnlyReportsTheClose)
{
    int closes = 0;
    port_.OnPortClose = [&](TSpCustomSerialPort&) { ++closes; };
    EXPECT_NO_THROW(port_.Close());
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(port_.ReadString(), "");
}

struct WriteCase {
    const char* name;
    bool open;
    std::size_t size;
    const char* error;  // empty: the write succeeds and every byte reaches the far end
};

std::ostream& operator<<(std::ostream& os, const WriteCase& c)
{
    return os << c.name;
}

class SpComPortWriteTest : public SpComPortTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(SpComPortWriteTest, QueuesAllOrNothing)
{
    const WriteCase& c = GetParam();
    if (c.open)
        port_.Open();
    std::string data(c.size, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    EXPECT_EQ(errorText([&] { port_.WriteString(data); }), c.error);
    if (!c.open)
        return;
    if (std::string(c.error).empty()) {
        EXPECT_EQ(pty_.receive(data.size(), kArrival), data);
    } else {
        EXPECT_EQ(port_.OutBufFree(), 2048) << "a refused write queued something";
        EXPECT_EQ(pty_.receive(1, kQuiet), "");
    }
}

INSTANTIATE_TEST_SUITE_P(OutBufSize2048, SpComPortWriteTest,
                         ::testing::Values(WriteCase{"EmptyStringOnClosedPort", false, 0, ""},
                                           WriteCase{"ThreeBytesOnClosedPort", false, 3,
                                                     "Write data error [requested: 3, free: 0] - Comm1 "},
                                           WriteCase{"FullRingOnIdlePort", true, 2048, ""},
                                           WriteCase{"OneByteBeyondTheRing", true, 2049,
                                                     "Write data error [requested: 2049, free: 2048] - Comm1 "}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SpComPortTest, WriteThatWrapsTheRingArrivesInOrder)
{
    port_.SetOutBufSize(16);
    int drained = 0;
    port_.OnOutBufFree = [&](TSpCustomSerialPort&) { ++drained; };
    port_.Open();
    port_.WriteString("0123456789");
    ASSERT_TRUE(pumpUntil([&] { return drained >= 1; }, kArrival));
    port_.WriteString("abcdefghij");  // 6 bytes to the end of the ring, 4 from its start
    ASSERT_TRUE(pumpUntil([&] { return drained >= 2; }, kArrival));
    EXPECT_EQ(pty_.receive(20, kArrival), "0123456789abcdefghij");
}

std::string frameOf(int size, char seed)
{
    std::string data(static_cast<std::size_t>(size), '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(seed + i * 13);
    return data;
}

// Frames written back to back while the far end reads at its own pace: a
// frame leaves from the writing thread at once, in part (the rest queued
// behind), or from the ring, and whichever way, the far end gets every byte
// once and in order.
TEST_F(SpComPortTest, FramesWrittenBackToBackArriveInOrderWhicheverWayTheyLeave)
{
    constexpr int kFrames = 96;
    constexpr int kFrameSize = 1033;
    port_.Open();
    std::string sent;
    for (int i = 0; i < kFrames; ++i)
        sent += frameOf(kFrameSize, static_cast<char>(i));
    auto received = std::async(std::launch::async, [&] { return pty_.receive(sent.size(), 30s); });
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_TRUE(pumpUntil([&] { return port_.OutBufFree() >= kFrameSize; }, 30s)) << "frame " << i;
        port_.WriteString(sent.substr(static_cast<std::size_t>(i) * kFrameSize, kFrameSize));
    }
    EXPECT_EQ(received.get(), sent);
}

enum class FarEnd { ResumesOutput, KeepsOutputStopped, GoesAway };

struct RoomCase {
    const char* name;
    int second;                        // bytes written right after a first frame of kLargestFrame bytes
    FarEnd farEnd;                     // what happens kFarEndActsAfter into the second write
    const char* error;                 // empty: the write succeeds and both frames arrive, in order
    std::chrono::milliseconds within;  // generous bound on the second write
};

std::ostream& operator<<(std::ostream& os, const RoomCase& c)
{
    return os << c.name;
}

class SpComPortRoomTest : public SpComPortTest, public ::testing::WithParamInterface<RoomCase> {};

// Stopped output holds the first frame in the ring, as a write thread held up
// between its device write and the ring's release does: the bytes are on their
// way but still take room.
TEST_P(SpComPortRoomTest, SecondFrameRightAfterTheFirst)
{
    const RoomCase& c = GetParam();
    pty_.stopOutput();
    port_.Open();
    const std::string first = frameOf(kLargestFrame, 'a');
    const std::string second = frameOf(c.second, 'B');
    port_.WriteString(first);
    ASSERT_EQ(port_.OutBufFree(), 2048 - kLargestFrame) << "the first frame should wait in the ring";

    std::thread farEnd([&] {
        std::this_thread::sleep_for(kFarEndActsAfter);
        switch (c.farEnd) {
        case FarEnd::ResumesOutput:
            EXPECT_TRUE(pty_.resumeOutput());
            break;
        case FarEnd::KeepsOutputStopped:
            break;
        case FarEnd::GoesAway:
            pty_.closeMaster();
            break;
        }
    });
    const auto started = Clock::now();
    const std::string error = errorText([&] { port_.WriteString(second); });
    const auto took = Clock::now() - started;
    farEnd.join();

    EXPECT_EQ(error, c.error);
    EXPECT_LT(took, c.within);
    if (error.empty()) {
        EXPECT_EQ(pty_.receive(first.size() + second.size(), kArrival), first + second);
    } else {
        EXPECT_EQ(port_.OutBufFree(), 2048 - kLargestFrame) << "a refused write queued something";
    }
}

// Room that frees soon is waited for and the wait ends with it; room that does
// not free ends the wait after its bound; a device gone ends it at once; no
// wait helps a write larger than the ring.
INSTANTIATE_TEST_SUITE_P(
    OutBufSize2048, SpComPortRoomTest,
    ::testing::Values(RoomCase{"RoomFreesSoon", kLargestFrame, FarEnd::ResumesOutput, "", kWriteRoomSlack / 2},
                      RoomCase{"WholeRingFreesSoon", 2048, FarEnd::ResumesOutput, "", kWriteRoomSlack / 2},
                      RoomCase{"OutputStaysStopped", kLargestFrame, FarEnd::KeepsOutputStopped,
                               "Write data error [requested: 1033, free: 1015] - Comm1 ", kWriteRoomSlack + 2s},
                      RoomCase{"FarEndGoesAway", kLargestFrame, FarEnd::GoesAway,
                               "Write data error [requested: 1033, free: 1015] - Comm1 ", kWriteRoomSlack / 2},
                      RoomCase{"LargerThanTheRing", 2049, FarEnd::KeepsOutputStopped,
                               "Write data error [requested: 2049, free: 1015] - Comm1 ", kWriteRoomSlack / 2}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(SpComPortTest, UnreadBytesAreReportedAgainAboutEvery200ms)
{
    int reports = 0;
    port_.OnDataReceived = [&](TSpCustomSerialPort&, int) { ++reports; };
    port_.Open();
    pty_.send("unread");
    ASSERT_TRUE(pumpUntil([&] { return reports >= 1; }, kArrival));
    const int first = reports;
    const auto cpuBefore = test::processCpuTime();
    const auto wallBefore = Clock::now();
    pumpFor(1100ms);
    // About five more; far fewer means no re-report, far more means a busy loop.
    EXPECT_GE(reports - first, 2);
    EXPECT_LE(reports - first, 15);
    EXPECT_LT((test::processCpuTime() - cpuBefore) * 3, Clock::now() - wallBefore)
        << "the same unread bytes kept a thread busy";
    EXPECT_EQ(port_.ReadString(), "unread");
}

TEST_F(SpComPortTest, HandlerThatThrowsIsShownAndThePortGoesOn)
{
    port_.OnDataReceived = [&](TSpCustomSerialPort& sender, int) {
        const std::string text = sender.ReadString();
        received_ += text;
        if (text == "bad")
            throw std::runtime_error("handler failed");
    };
    port_.Open();
    pty_.send("bad");
    ASSERT_TRUE(pumpUntil([&] { return !shown_.empty(); }, kArrival));
    EXPECT_EQ(shown_.front(), "handler failed");
    pty_.send("good");
    ASSERT_TRUE(receivedAtLeast(7));
    EXPECT_EQ(received_, "badgood");
}

TEST_F(SpComPortTest, NothingIsDeliveredAfterClose)
{
    int reports = 0;
    port_.OnDataReceived = [&](TSpCustomSerialPort&, int) { ++reports; };
    port_.Open();
    pty_.send("late");
    // The event thread is now waiting for the main thread, which closes instead.
    ASSERT_TRUE(WaitSyncCalls(Clock::now() + kArrival));
    port_.Close();
    pumpFor(kQuiet);
    EXPECT_EQ(reports, 0);
}

TEST_F(SpComPortTest, CloseFromInsideAnEventHandlerReturns)
{
    int closes = 0;
    port_.OnPortClose = [&](TSpCustomSerialPort&) { ++closes; };
    port_.OnDataReceived = [&](TSpCustomSerialPort& sender, int) { sender.Close(); };
    port_.Open();
    pty_.send("bye");
    ASSERT_TRUE(pumpUntil([&] { return closes == 1; }, kArrival));
    EXPECT_FALSE(port_.Active());
}

TEST_F(SpComPortTest, LastCommandBeforeCloseStillGoesOut)
{
    port_.Open();
    port_.WriteString("X\r");
    port_.Close();
    EXPECT_EQ(pty_.receive(2, kArrival), "X\r");
}

TEST_F(SpComPortTest, CloseAbortsAWriteStalledByFlowControl)
{
    port_.SetFlowControl(fwXOnXOff);
    port_.Open();
    pty_.send("\x13");  // XOFF: the line stops taking output
    pumpFor(50ms);
    port_.WriteString(std::string(2048, 'w'));
    pumpFor(50ms);
    ASSERT_EQ(port_.OutBufFree(), 0) << "the write should be held up by XOFF";
    const auto started = Clock::now();
    port_.Close();
    EXPECT_LT(Clock::now() - started, 5s);
    EXPECT_FALSE(port_.Active());
}

TEST_F(SpComPortTest, FarEndVanishingNeitherSpinsNorBlocksClose)
{
    collectReceived();
    port_.Open();
    pty_.send("hello");
    ASSERT_TRUE(receivedAtLeast(5));

    pty_.closeMaster();
    const auto cpuBefore = test::processCpuTime();
    const auto wallBefore = Clock::now();
    pumpFor(1000ms);
    const auto cpu = test::processCpuTime() - cpuBefore;
    const auto wall = Clock::now() - wallBefore;
    EXPECT_LT(cpu * 3, wall) << "threads kept busy after the far end went away";

    // Writes into a dead line may fail; they must not crash or hang.
    try {
        port_.WriteString("after");
    } catch (const ESpComPortError&) {
    }
    const std::size_t before = received_.size();
    port_.Close();
    EXPECT_FALSE(port_.Active());
    pumpFor(kQuiet);
    EXPECT_EQ(received_.size(), before);
}

TEST_F(SpComPortTest, HungUpOnlyWhileTheOpenPortsDeviceIsGone)
{
    EXPECT_FALSE(port_.HungUp()) << "closed port";
    port_.Open();
    // Reported and left unread: the event thread no longer waits for input,
    // and must still see the hang-up.
    pty_.send("unread");
    pumpFor(kQuiet);
    EXPECT_FALSE(port_.HungUp()) << "healthy open port";
    pty_.closeMaster();
    EXPECT_TRUE(pumpUntil([&] { return port_.HungUp(); }, kArrival));
    port_.Close();
    EXPECT_FALSE(port_.HungUp()) << "closed port whose device had gone";
}

// How the main thread waits: in the dispatcher, or in a loop of its own that
// the dispatcher's waker ends (PlainEventLoop, a window's event loop).
enum class MainWait { WaitSyncCalls, OwnLoopWithWaker };

std::ostream& operator<<(std::ostream& os, MainWait wait)
{
    return os << (wait == MainWait::WaitSyncCalls ? "WaitSyncCalls" : "OwnLoopWithWaker");
}

class SpComPortHangUpTest : public SpComPortTest, public ::testing::WithParamInterface<MainWait> {};

// The device link's reply wait: a wait of the main thread, then a look at the
// port, until the reply's deadline. A hang-up hands nothing over, so without
// a wake of its own every wait would run to that deadline.
TEST_P(SpComPortHangUpTest, EndsALongWaitOfTheMainThread)
{
    struct OwnLoop {
        std::mutex mutex;
        std::condition_variable wakeUp;
        bool woken = false;
    };
    // Shared with the waker, which a worker may still be running when the test ends.
    auto loop = std::make_shared<OwnLoop>();
    if (GetParam() == MainWait::OwnLoopWithWaker) {
        SetSyncWaker([loop] {
            {
                std::lock_guard lock(loop->mutex);
                loop->woken = true;
            }
            loop->wakeUp.notify_all();
        });
    }
    port_.Open();
    std::thread farEnd([&] {
        std::this_thread::sleep_for(kFarEndActsAfter);
        pty_.closeMaster();
    });
    const auto started = Clock::now();
    const auto deadline = started + kLongWait;
    while (!port_.HungUp() && Clock::now() < deadline) {
        if (ServeSyncCalls() > 0)
            continue;
        if (GetParam() == MainWait::WaitSyncCalls) {
            WaitSyncCalls(deadline);
            continue;
        }
        std::unique_lock lock(loop->mutex);
        loop->wakeUp.wait_until(lock, deadline, [&] { return loop->woken; });
        loop->woken = false;
    }
    const auto took = Clock::now() - started;
    farEnd.join();
    SetSyncWaker(nullptr);
    EXPECT_TRUE(port_.HungUp());
    EXPECT_LT(took, 2s) << "the wait was not ended by the hang-up";
}

INSTANTIATE_TEST_SUITE_P(Main, SpComPortHangUpTest,
                         ::testing::Values(MainWait::WaitSyncCalls, MainWait::OwnLoopWithWaker),
                         [](const auto& row) { return ::testing::PrintToString(row.param); });

class SpComPortBaudTest : public SpComPortTest, public ::testing::WithParamInterface<int> {};

// A pseudo-terminal ignores the speed but must accept every kind of setting.
TEST_P(SpComPortBaudTest, OpensAndCarriesData)
{
    collectReceived();
    port_.SetBaudRate(GetParam());
    port_.Open();
    pty_.send("ok");
    ASSERT_TRUE(receivedAtLeast(2));
    EXPECT_NO_THROW(port_.SetBaudRate(115200)) << "a change while open applies at once";
}

INSTANTIATE_TEST_SUITE_P(Rates, SpComPortBaudTest, ::testing::Values(9600, 1000000, 250000),
                         [](const auto& row) { return "Baud" + std::to_string(row.param); });

TEST_F(SpComPortTest, ChangingBufferSizeWhileOpenIsRefused)
{
    port_.Open();
    EXPECT_EQ(errorText([&] { port_.SetInBufSize(4096); }), "Port is not closed - Comm1 ");
    EXPECT_EQ(port_.InBufSize(), 2048);
    EXPECT_EQ(errorText([&] { port_.SetOutBufSize(4096); }), "Port is not closed - Comm1 ");
}

TEST_F(SpComPortTest, ChangingComPortWhileOpenMovesToTheNewDevice)
{
    PtyPair other;
    std::vector<std::string> order;
    port_.OnPortClose = [&](TSpCustomSerialPort&) { order.push_back("close"); };
    port_.OnPortOpen = [&](TSpCustomSerialPort&) { order.push_back("open"); };
    port_.Open();
    order.clear();
    port_.SetComPort(other.slavePath());
    EXPECT_EQ(order, (std::vector<std::string>{"close", "open"}));
    port_.WriteString("moved");
    EXPECT_EQ(other.receive(5, kArrival), "moved");
}

TEST_F(SpComPortTest, NonSyncEventTakesEventsOffTheMainThread)
{
    std::atomic<bool> offMain{false};
    std::atomic<int> nonSync{0};
    const auto mainId = std::this_thread::get_id();
    int received = 0;
    port_.OnDataReceived = [&](TSpCustomSerialPort&, int) { ++received; };
    port_.OnNonSyncEvent = [&](EventSender&, TSpCoreEvent, std::uint32_t, const std::exception_ptr&) {
        offMain = std::this_thread::get_id() != mainId;
        ++nonSync;
    };
    port_.Open();
    pty_.send("raw");
    ASSERT_TRUE(pumpUntil([&] { return nonSync.load() > 0; }, kArrival));
    pumpFor(kQuiet);
    port_.Close();  // the handler captures locals
    EXPECT_TRUE(offMain);
    EXPECT_EQ(received, 0);
}

struct DcbCase {
    const char* name;
    TSpFlowControl flow;
    std::uint32_t flags;
    std::uint16_t xOnLim;
    std::uint16_t xOffLim;
};

std::ostream& operator<<(std::ostream& os, const DcbCase& c)
{
    return os << c.name;
}

class SpComPortDcbTest : public ::testing::TestWithParam<DcbCase> {};

// Built from the application's settings (InBufSize 2048, DTR and RTS on).
TEST_P(SpComPortDcbTest, FlowControlShapesTheBlock)
{
    const DcbCase& c = GetParam();
    TSpComPort port;
    port.SetBaudRate(1000000);
    port.SetInBufSize(2048);
    port.SetFlowControl(c.flow);
    const Dcb& dcb = port.DeviceControlBlock();
    EXPECT_EQ(dcb.dcbLength, 28u);
    EXPECT_EQ(dcb.baudRate, 1000000u);
    EXPECT_EQ(dcb.byteSize, 8);
    EXPECT_EQ(dcb.parity, 0);
    EXPECT_EQ(dcb.stopBits, 0);
    EXPECT_EQ(dcb.flags, c.flags);
    EXPECT_EQ(dcb.xonLim, c.xOnLim);
    EXPECT_EQ(dcb.xoffLim, c.xOffLim);
    EXPECT_EQ(dcb.xonChar, 0x11);
    EXPECT_EQ(dcb.xoffChar, 0x13);
}

INSTANTIATE_TEST_SUITE_P(Flow, SpComPortDcbTest,
                         ::testing::Values(DcbCase{"None", fwNone, 0x1011, 0, 0},
                                           DcbCase{"XOnXOff", fwXOnXOff, 0x1311, 512, 1536},
                                           DcbCase{"RtsCts", fwRtsCts, 0x2015, 512, 1536},
                                           DcbCase{"DtrDsr", fwDtrDsr, 0x1029, 512, 1536}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(SpComPortDcb, LoadFromDcbRoundTripsTheSettings)
{
    TSpComPort source;
    source.SetBaudRate(57600);
    source.SetParity(paEven);
    source.SetStopbits(sbTwo);
    source.SetDatabits(db7);
    source.SetFlowControl(fwRtsCts);
    source.SetOptions({coParityCheck, coStripNull});
    TSpComPort copy;
    copy.LoadFromDCB(source.DeviceControlBlock());
    EXPECT_EQ(copy.BaudRate(), 57600);
    EXPECT_EQ(copy.Parity(), paEven);
    EXPECT_EQ(copy.Stopbits(), sbTwo);
    EXPECT_EQ(copy.Databits(), db7);
    EXPECT_EQ(copy.FlowControl(), fwRtsCts);
    EXPECT_EQ(copy.Options(), (TSpComOptions{coParityCheck, coStripNull}));

    Dcb wrong = source.DeviceControlBlock();
    wrong.dcbLength = 27;
    copy.SetName("Comm2");
    EXPECT_EQ(errorText([&] { copy.LoadFromDCB(wrong); }), "Error setting parameters from DCB - Comm2 ");
}

}  // namespace
}  // namespace kt::serial
