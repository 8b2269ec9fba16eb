// The device link over both simulated devices: the command layer and its
// reply wait, discovery and connection, the busy state.
#include "link/DeviceLink.h"

#include "SessionFixture.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>

namespace kt {
namespace {

using namespace test;
using namespace std::chrono_literals;

const std::string kEscText(1, '\x1b');

// ---- Command layer ----

struct RefusalCase {
    std::string name;
    int expected;
    bool waitsWholeInterval;
};

std::ostream& operator<<(std::ostream& os, const RefusalCase& c)
{
    return os << c.name;
}

class LoneEscape : public RowsOverBothDevices<RefusalCase> {};

TEST_P(LoneEscape, FailsTheCommandForEveryExpectedLength)
{
    sim::SimOptions options;
    options.refuseOn = {"v"};
    Start(options);
    Connect();
    const auto start = Clock::now();
    EXPECT_FALSE(session.SendCommand("v", Row().expected));
    EXPECT_EQ(session.RxText, kEscText);
    if (Row().waitsWholeInterval)
        EXPECT_GE(Elapsed(start), 240);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoneEscape,
                         EachOnBothDevices(RefusalCase{"CollectAll", 0, true}, RefusalCase{"One", 1, false},
                                           RefusalCase{"Two", 2, true}, RefusalCase{"Thirteen", 13, true}),
                         DeviceName());

TEST_P(SessionTest, LoneCarriageReturnWithCollectAllSucceedsAfterTheWholeInterval)
{
    Start();
    Connect();
    const auto start = Clock::now();
    EXPECT_TRUE(session.SendCommand("PFLASH", 0));
    EXPECT_EQ(session.RxText, "\r");
    EXPECT_GE(Elapsed(start), 240);
}

TEST_P(SessionTest, CountedReplyCompletesAtItsLength)
{
    Start();
    Connect();
    EXPECT_TRUE(session.SendCommand("D", 2));
    EXPECT_EQ(session.RxText, "21");
    EXPECT_TRUE(session.SendCommand("t", 14));
    EXPECT_EQ(session.RxText.size(), 14u);
}

// Ten counted replies take a few milliseconds each: the wait ends as soon as a
// reply is whole. A wait that slept out its interval, or a loop pass 40 ms
// slower, would take far longer than the bound.
TEST_P(SessionTest, CountedRepliesCompleteAsSoonAsTheyAreWhole)
{
    Start();
    Connect();
    const auto start = Clock::now();
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(session.SendCommand("D", 2));
    EXPECT_LT(Elapsed(start), 300);
}

TEST_P(SessionTest, OvershootingCountedReplyNeverCompletes)
{
    sim::SimOptions options;
    options.garbageOn = {{"D", "ABC"}};
    Start(options);
    Connect();
    EXPECT_FALSE(session.SendCommand("D", 2));
    EXPECT_EQ(session.RxText, "ABC");
}

TEST_P(SessionTest, SilenceFailsWithAnEmptyReply)
{
    sim::SimOptions options;
    options.silentOn = {"v"};
    Start(options);
    Connect();
    EXPECT_FALSE(session.SendCommand("v", 0));
    EXPECT_EQ(session.RxText, "");
}

TEST_P(SessionTest, NoWaitLeavesTheReplyUntouched)
{
    Start();
    Connect();
    session.RxText = "earlier";
    EXPECT_TRUE(session.SendCommand("PFLASH", -1));
    EXPECT_EQ(session.RxText, "earlier");
}

TEST_P(SessionTest, CommandOnAClosedPortFailsWithoutWaiting)
{
    session.RxText = "earlier";
    const auto start = Clock::now();
    EXPECT_FALSE(session.SendCommand("n", 0));
    EXPECT_EQ(session.RxText, "earlier");
    EXPECT_LT(Elapsed(start), 200);
}

TEST_P(SessionTest, AbortEndsAWaitEarly)
{
    sim::SimOptions options;
    options.silentOn = {"v"};
    Start(options);
    Connect();
    host.duringEvents = [&] { session.Abort(); };
    EXPECT_FALSE(session.SendCommand("v", 0));
}

// A stop from another thread (the command line's signal thread) wakes the
// wait, which then ends at once instead of running out its 250 ms.
TEST_P(SessionTest, StopFromAnotherThreadEndsTheWaitAtOnce)
{
    sim::SimOptions options;
    options.silentOn = {"v"};
    Start(options);
    Connect();
    std::atomic<bool> stop{false};
    host.duringEvents = [&] {
        if (stop && !session.Aborted) {
            session.Abort();
            host.loop.Wake();  // as the command line's stop does
        }
    };
    long stoppedAfter = 0;
    for (int round = 0; round < 3; ++round) {
        stop = false;
        session.Aborted = false;
        std::thread user([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            stop = true;
            host.loop.Wake();
        });
        const auto start = Clock::now();
        EXPECT_FALSE(session.SendCommand("v", 0));
        stoppedAfter += Elapsed(start);
        user.join();
    }
    EXPECT_LT(stoppedAfter, 3 * 30 + 120);
}

// CPU time of the calling thread, in milliseconds.
double ThreadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Just before a reply can first arrive, the wait looks for it without
// sleeping, but only briefly: a reply that comes at once or later is taken
// as soon as it is whole, and a wait that runs out in silence sleeps, so it
// costs almost no CPU. A look that never ends would burn the whole 250 ms.
TEST_P(SessionTest, ReplyWaitLooksWithoutSleepingOnlyBriefly)
{
    struct Row {
        const char* name;
        std::chrono::milliseconds delay;  // before the device answers "D"
        bool silent;
        bool ok;
        long maxMs;
    };
    const Row rows[] = {
        {"at once", 0ms, false, true, 150},
        {"after 40 ms", 40ms, false, true, 190},
        {"never", 0ms, true, false, 400},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        sim::SimOptions options;
        if (row.delay > 0ms)
            options.delayOn = {{"D", row.delay}};
        if (row.silent)
            options.silentOn = {"D"};
        Start(options);
        Connect();
        const double cpu0 = ThreadCpuMs();
        const auto start = Clock::now();
        EXPECT_EQ(session.SendCommand("D", 2), row.ok);
        const long elapsed = Elapsed(start);
        const double cpu = ThreadCpuMs() - cpu0;
        EXPECT_EQ(session.RxText, row.ok ? "21" : "");
        EXPECT_GE(elapsed, row.delay.count());
        EXPECT_LT(elapsed, row.maxMs);
        EXPECT_LT(cpu, 40.0) << "over " << elapsed << " ms";
        session.DisconnectDevice();
    }
}

// ---- Discovery and connection ----

TEST_P(SessionTest, RememberedPortIsProbedFirstAndAlone)
{
    Start();
    host.ports = {"/dev/kt-no-such-port"};
    ASSERT_TRUE(session.ConnectDevice());
    EXPECT_EQ(host.log, Lines{"ТЕЛВИКС обнаружен на порту " + sim->PortName()});
    EXPECT_EQ(host.portListReads, 0);
    EXPECT_EQ(session.PortName, sim->PortName());
    EXPECT_TRUE(comm.Active());
    EXPECT_TRUE(session.ConnectDevice());  // already open: no probe, no line
    EXPECT_EQ(host.log.size(), 1u);
    EXPECT_EQ(Count("n"), 1);
}

TEST_P(SessionTest, SearchesTheSystemListWhenNothingIsRemembered)
{
    Start();
    session.PortName.clear();
    host.ports = {"/dev/kt-no-such-port", "not a device path", sim->PortName()};
    ASSERT_TRUE(session.ConnectDevice());
    EXPECT_EQ(session.PortName, sim->PortName());
    EXPECT_EQ(host.log, Lines{"ТЕЛВИКС обнаружен на порту " + sim->PortName()});
}

TEST_P(SessionTest, ListedPortEqualToTheRememberedOneIsNotProbedTwice)
{
    sim::SimOptions absent;
    absent.silentOn = {"PFLASH"};
    const auto silent = MakeDevice(absent);
    Start();
    session.PortName = silent->PortName();
    host.ports = {silent->PortName(), sim->PortName()};
    ASSERT_TRUE(session.ConnectDevice());
    EXPECT_EQ(session.PortName, sim->PortName());
    const auto frames = silent->Frames();
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "PFLASH"), DeviceSession::kPingTries);
}

TEST_P(SessionTest, DeviceAnsweringThePingWithEscapeCountsAsPresent)
{
    sim::SimOptions options;
    options.pingAnswersEsc = true;
    Start(options);
    EXPECT_TRUE(session.ConnectDevice());
}

TEST_P(SessionTest, IdentityWithATrailingCarriageReturnIsNotTheDevice)
{
    sim::SimOptions options;
    options.appendOn = {{"n", "\r"}};
    Start(options);
    EXPECT_FALSE(session.ProbePort(sim->PortName()));
    EXPECT_FALSE(comm.Active());
    EXPECT_TRUE(host.log.empty());
}

TEST_P(SessionTest, NoDeviceAnywhereClearsThePortAndReportsOnce)
{
    session.PortName = "/dev/kt-no-such-port";
    host.ports = {"/dev/kt-no-such-port-2"};
    EXPECT_FALSE(session.ConnectDevice());
    EXPECT_EQ(session.PortName, "");
    EXPECT_EQ(host.log, (Lines{"ОШИБКА! ТЕЛВИКС не подключен к компьютеру.", ""}));
    ASSERT_EQ(host.dialogs.size(), 1u);
    EXPECT_EQ(host.dialogs[0].message,
              "ОШИБКА! Контроллер не подключен к компьютеру.\rПроверьте кабель, питание и повторите снова.");
    EXPECT_EQ(host.dialogs[0].kind, DialogKind::Error);
    EXPECT_EQ(host.dialogs[0].buttons, DialogButtons::Ok);
}

TEST_P(SessionTest, BusyStateKeepsAndRestoresTheToolbar)
{
    Start();
    session.EndBusy();  // without BeginBusy: nothing, not even a disconnect
    EXPECT_TRUE(host.log.empty());
    Connect();
    session.BeginBusy();
    session.BeginBusy();  // a second one must not overwrite the kept states
    EXPECT_EQ(host.buttons, (std::array<bool, 4>{false, false, false, false}));
    EXPECT_TRUE(session.InOperation());
    session.EndBusy();
    EXPECT_EQ(host.buttons, (std::array<bool, 4>{true, true, true, false}));
    EXPECT_FALSE(session.Busy);
    EXPECT_FALSE(comm.Active());
    EXPECT_EQ(host.log, Lines{""});
    ASSERT_TRUE(sim->WaitForFrames(1, 2s));
    EXPECT_EQ(sim->Frames().back(), "X");
}

TEST_P(SessionTest, DisconnectWithAClosedPortSendsNothing)
{
    Start();
    session.DisconnectDevice();
    EXPECT_TRUE(sim->Frames().empty());
}

// ---- Information readout ----

INSTANTIATE_TEST_SUITE_P(Devices, SessionTest, BothDevices(), DeviceName());

}  // namespace
}  // namespace kt
