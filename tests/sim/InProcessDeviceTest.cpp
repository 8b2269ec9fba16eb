#include "InProcessDevice.h"

#include "serial/PlainEventLoop.h"
#include "serial/SpComPort.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

namespace kt::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using serial::SerialDevice;

// Generous bounds for a loaded two-core machine under a sanitizer; a healthy
// run takes a small fraction of each.
constexpr auto kArrival = 5s;
// A wait that only what the test does can end within the bounds below.
constexpr auto kLongWait = 20s;
// How long after a wait has begun another thread acts on it.
constexpr auto kActAfter = 50ms;

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Bytes MediaPayload(int block)
{
    Bytes data(2 + kMediaBlockSize);
    data[0] = static_cast<std::uint8_t>(block & 0xFF);
    data[1] = static_cast<std::uint8_t>(block >> 8);
    for (std::size_t i = 2; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 5);
    return data;
}

// The device's port opened as the port core opens it, for what only the
// device interface shows (its waits, its hang-up, its queue counts).
std::unique_ptr<SerialDevice> OpenedPort(const InProcessDevice& device)
{
    auto port = device.Factory()();
    EXPECT_EQ(port->open(device.PortName()), SerialDevice::OpenStatus::Opened);
    port->setEventMask(serial::kAllLineEvents);
    return port;
}

// A port of the program's kind on the device, with everything it received.
class Client {
public:
    explicit Client(const InProcessDevice& device)
    {
        port.SetName("Comm1");
        port.SetBaudRate(1000000);
        port.SetInBufSize(2048);
        port.SetDeviceFactory(device.Factory());
        port.SetComPort(device.PortName());
        port.OnDataReceived = [this](serial::TSpCustomSerialPort& sender, int) { received += sender.ReadString(); };
    }
    ~Client()
    {
        port.Close();
        port.OnDataReceived = nullptr;
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Serves the port's events until `done` or the timeout.
    bool PumpUntil(const std::function<bool()>& done, Clock::duration timeout = kArrival)
    {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() >= deadline)
                return false;
            loop.ProcessEvents(std::min(deadline, Clock::now() + 10ms));
        }
        return true;
    }
    // Writes `frame` and returns the next `count` characters received.
    std::string Ask(const std::string& frame, std::size_t count)
    {
        received.clear();
        port.WriteString(frame);
        PumpUntil([&] { return received.size() >= count; });
        return received;
    }

    PlainEventLoop loop;
    serial::TSpComPort port;
    std::string received;
};

// ---- Opening the port ----

enum class Before { Nothing, AnotherPortHoldsIt, AnotherPortHeldIt, Vanish };
enum class Outcome { Opens, NotFound, Busy };

struct OpenCase {
    std::string name;
    std::string port;
    Before before;
    Outcome outcome;
};

std::ostream& operator<<(std::ostream& os, const OpenCase& c)
{
    return os << c.name;
}

class OpeningThePort : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OpeningThePort, GoesByItsNameAndOneHolder)
{
    const auto& c = GetParam();
    InProcessDevice device;
    Client other(device);
    if (c.before == Before::AnotherPortHoldsIt || c.before == Before::AnotherPortHeldIt)
        other.port.Open();
    if (c.before == Before::AnotherPortHeldIt)
        other.port.Close();
    if (c.before == Before::Vanish)
        device.Vanish();

    serial::TSpComPort port;
    port.SetDeviceFactory(device.Factory());
    port.SetComPort(c.port);
    std::string error;
    try {
        port.Open();
    } catch (const std::exception& e) {
        error = e.what();
    }
    switch (c.outcome) {
    case Outcome::Opens:
        EXPECT_EQ(error, "");
        EXPECT_TRUE(port.Active());
        break;
    case Outcome::NotFound:
        EXPECT_EQ(error, "Invalid port number (" + c.port + ")");
        break;
    case Outcome::Busy:
        EXPECT_EQ(error, "Can't open device " + c.port);
        EXPECT_TRUE(other.port.Active()) << "the holder keeps the port";
        break;
    }
    port.Close();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpeningThePort,
    ::testing::Values(OpenCase{"ItsName", "SIM", Before::Nothing, Outcome::Opens},
                      OpenCase{"ItsNameInOtherLetters", "sim", Before::Nothing, Outcome::NotFound},
                      OpenCase{"AWindowsName", "COM1", Before::Nothing, Outcome::NotFound},
                      OpenCase{"ASystemPath", "/dev/ttyS0", Before::Nothing, Outcome::NotFound},
                      OpenCase{"WhileAnotherPortHoldsIt", "SIM", Before::AnotherPortHoldsIt, Outcome::Busy},
                      OpenCase{"AfterAnotherPortClosedIt", "SIM", Before::AnotherPortHeldIt, Outcome::Opens},
                      OpenCase{"AfterTheDeviceVanished", "SIM", Before::Vanish, Outcome::NotFound}),
    [](const auto& row) { return row.param.name; });

// The device, not the port, holds the modes and memories: a new open, even
// by a new port object, finds the loader that an earlier one started.
TEST(InProcessDevice, KeepsItsStateFromOneOpenToTheNext)
{
    InProcessDevice device;
    {
        Client first(device);
        first.port.Open();
        ASSERT_EQ(first.Ask(CommandFrame("n"), 13), "DRAXO_FLASHER");
        first.port.WriteString(CommandFrame("B"));
        ASSERT_TRUE(device.WaitForFrames(2, kArrival));
    }
    Client second(device);
    second.port.Open();
    EXPECT_EQ(second.Ask(CommandFrame("n"), 12), "DRAXO_LOADER");
    EXPECT_TRUE(device.InLoader());
    EXPECT_EQ(device.Frames(), (std::vector<std::string>{"n", "B", "n"}));
}

// A reply that comes while nobody holds the port is lost, as on a real line;
// the next open starts with an empty input queue.
TEST(InProcessDevice, ReplyToAClosedPortIsLost)
{
    SimOptions o;
    o.delayOn = {{"v", 100ms}};
    InProcessDevice device(o);
    {
        auto port = OpenedPort(device);
        ASSERT_EQ(port->write(CommandFrame("v").data(), 3), 3);
        port->close();
    }
    std::this_thread::sleep_for(200ms);
    auto port = OpenedPort(device);
    serial::ComStat stat;
    std::uint32_t errors = 0;
    ASSERT_TRUE(port->clearCommError(errors, stat));
    EXPECT_EQ(stat.inQueue, 0u);
    EXPECT_EQ(device.Frames(), std::vector<std::string>{"v"});
}

// ---- Line pacing ----

struct PacingCase {
    std::string name;
    int baud;
    std::chrono::milliseconds delay;
    std::string frame;
    std::string reply;
    long long atLeastMs;  // the line time of frame and reply, plus the delay
    long long belowMs;    // far above it, far below what a lost pacing or wake would cost
};

std::ostream& operator<<(std::ostream& os, const PacingCase& c)
{
    return os << c.name;
}

class Pacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(Pacing, ReplyTakesTheLineTimeEachWay)
{
    const auto& c = GetParam();
    SimOptions o;
    o.baud = c.baud;
    o.extraDelay = c.delay;
    o.clock = ClockRecord{1, 2, 3, 4, 5, 6, 7};
    o.appendOn = {{"h", std::string(200, '.')}};
    InProcessDevice device(o);
    Client client(device);
    client.port.Open();

    const auto start = Clock::now();
    const std::string reply = client.Ask(c.frame, c.reply.size());
    const auto elapsed = MillisecondsSince(start);

    EXPECT_EQ(reply, c.reply);
    EXPECT_GE(elapsed, c.atLeastMs);
    EXPECT_LT(elapsed, c.belowMs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Pacing,
    ::testing::Values(
        // 1,033 + 1 characters at 10 microseconds each.
        PacingCase{"MediaBlockAtOneMegabaud", 1'000'000, 0ms, DataFrame("F", MediaPayload(0)), "\r", 10, 1000},
        // 3 + 14 characters at 1.04 ms each.
        PacingCase{"ClockReadingAt9600", 9600, 0ms, CommandFrame("t"), "01020304050607", 17, 1000},
        // 3 + 208 characters at 86.8 microseconds each: a long reply is paced too.
        PacingCase{"LongReplyAt115200", 115200, 0ms, CommandFrame("h"), "M2 rev.B" + std::string(200, '.'), 18, 1000},
        PacingCase{"ConfiguredDelay", 115200, 150ms, CommandFrame("PFLASH"), "\r", 150, 1150},
        // An unpaced line answers at once, even a frame that takes 10 ms at a megabaud.
        PacingCase{"Unpaced", 0, 0ms, DataFrame("F", MediaPayload(0)), "\r", 0, 250}),
    [](const auto& row) { return row.param.name; });

// The queue counts follow the line: what the port wrote stays counted until
// it has crossed, so a close that lets output drain waits for it.
TEST(InProcessDevice, QueueCountsFollowTheLine)
{
    SimOptions o;
    o.baud = 9600;  // 100 characters take 104 ms
    InProcessDevice device(o);
    auto port = OpenedPort(device);
    const std::string noise(99, 'x');
    ASSERT_EQ(port->write((noise + CommandFrame("PFLASH")).data(), 107), 107);

    serial::ComStat stat;
    std::uint32_t errors = 0;
    ASSERT_TRUE(port->clearCommError(errors, stat));
    EXPECT_GT(stat.outQueue, 0u);
    EXPECT_EQ(stat.inQueue, 0u);

    std::uint32_t mask = 0;
    ASSERT_EQ(port->waitEvent(mask, kLongWait), SerialDevice::WaitStatus::Event);
    ASSERT_TRUE(port->clearCommError(errors, stat));
    EXPECT_EQ(stat.outQueue, 0u);
    EXPECT_EQ(stat.inQueue, 1u);
    EXPECT_EQ(errors, 0u);
}

// ---- Waits ----

// Each received character is reported once: not again while it stays unread,
// and what comes after a read is reported anew.
TEST(InProcessDevice, ReportsEachReceivedCharacterOnceUntilRead)
{
    InProcessDevice device;
    auto port = OpenedPort(device);
    std::uint32_t mask = 0;
    ASSERT_EQ(port->write(CommandFrame("PFLASH").data(), 8), 8);
    ASSERT_EQ(port->waitEvent(mask, kLongWait), SerialDevice::WaitStatus::Event);
    EXPECT_EQ(mask, serial::kEvRxChar);
    EXPECT_EQ(port->waitEvent(mask, 100ms), SerialDevice::WaitStatus::Timeout);

    char buffer[16] = {};
    ASSERT_EQ(port->read(buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], '\r');
    ASSERT_EQ(port->write(CommandFrame("D").data(), 3), 3);
    ASSERT_EQ(port->waitEvent(mask, kLongWait), SerialDevice::WaitStatus::Event);
    EXPECT_EQ(port->read(buffer, sizeof buffer), 2);
}

// What another thread does to the device or its port while a wait runs.
using Act = std::function<void(std::unique_ptr<InProcessDevice>&, SerialDevice&)>;

struct WaitEndCase {
    std::string name;
    Act act;
    SerialDevice::WaitStatus status;
};

std::ostream& operator<<(std::ostream& os, const WaitEndCase& c)
{
    return os << c.name;
}

class EventWaitEnds : public ::testing::TestWithParam<WaitEndCase> {};

TEST_P(EventWaitEnds, AtOnce)
{
    const auto& c = GetParam();
    SimOptions o;
    o.baud = 115200;
    auto device = std::make_unique<InProcessDevice>(o);
    auto port = OpenedPort(*device);
    std::thread other([&] {
        std::this_thread::sleep_for(kActAfter);
        c.act(device, *port);
    });
    const auto start = Clock::now();
    std::uint32_t mask = 0;
    const auto status = port->waitEvent(mask, kLongWait);
    const auto elapsed = MillisecondsSince(start);
    other.join();

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(mask, c.status == SerialDevice::WaitStatus::Event ? serial::kEvRxChar : 0u);
    EXPECT_LT(elapsed, 5000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventWaitEnds,
    ::testing::Values(
        WaitEndCase{"Wake", [](auto&, SerialDevice& port) { port.wakeEventWait(); }, SerialDevice::WaitStatus::Woken},
        WaitEndCase{"EventMaskCleared", [](auto&, SerialDevice& port) { port.setEventMask(0); },
                    SerialDevice::WaitStatus::Woken},
        WaitEndCase{"Reply", [](auto&, SerialDevice& port) { port.write(CommandFrame("PFLASH").data(), 8); },
                    SerialDevice::WaitStatus::Event},
        WaitEndCase{"Vanish", [](auto& device, SerialDevice&) { device->Vanish(); }, SerialDevice::WaitStatus::HungUp},
        WaitEndCase{"DeviceDestroyed", [](auto& device, SerialDevice&) { device.reset(); },
                    SerialDevice::WaitStatus::HungUp}),
    [](const auto& row) { return row.param.name; });

TEST(InProcessDevice, WakeBeforeTheWaitEndsTheNextOne)
{
    InProcessDevice device;
    auto port = OpenedPort(device);
    port->wakeEventWait();
    std::uint32_t mask = 0;
    const auto start = Clock::now();
    EXPECT_EQ(port->waitEvent(mask, kLongWait), SerialDevice::WaitStatus::Woken);
    EXPECT_LT(MillisecondsSince(start), 5000);
    EXPECT_EQ(port->waitEvent(mask, 50ms), SerialDevice::WaitStatus::Timeout) << "one wake ends one wait";
}

struct WriterWaitCase {
    std::string name;
    int baud;
    Act act;
    SerialDevice::WriteWait result;
};

std::ostream& operator<<(std::ostream& os, const WriterWaitCase& c)
{
    return os << c.name;
}

class WriterWaitEnds : public ::testing::TestWithParam<WriterWaitCase> {};

TEST_P(WriterWaitEnds, OnAFullLine)
{
    const auto& c = GetParam();
    SimOptions o;
    o.baud = c.baud;
    auto device = std::make_unique<InProcessDevice>(o);
    auto port = OpenedPort(*device);
    const std::string block(4096, 'x');
    ASSERT_EQ(port->write(block.data(), 4096), 4096);
    ASSERT_EQ(port->write(block.data(), 1), 0) << "the line queue is full";

    std::thread other([&] {
        std::this_thread::sleep_for(kActAfter);
        c.act(device, *port);
    });
    const auto start = Clock::now();
    const auto result = port->waitWritable();
    const auto elapsed = MillisecondsSince(start);
    other.join();

    EXPECT_EQ(result, c.result);
    EXPECT_LT(elapsed, 5000);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriterWaitEnds,
    // At 1 baud a character takes 10 s to cross, so only the act ends the wait;
    // at 300 baud the first one has crossed after 33 ms, and there is room.
    ::testing::Values(
        WriterWaitCase{"Wake", 1, [](auto&, SerialDevice& port) { port.wakeWriter(); }, SerialDevice::WriteWait::Woken},
        WriterWaitCase{"OutputPurged", 1,
                       [](auto&, SerialDevice& port) { port.purge(serial::kPurgeTxAbort | serial::kPurgeTxClear); },
                       SerialDevice::WriteWait::Woken},
        WriterWaitCase{"Vanish", 1, [](auto& device, SerialDevice&) { device->Vanish(); },
                       SerialDevice::WriteWait::Failed},
        WriterWaitCase{"LineCarriesACharacter", 300, [](auto&, SerialDevice&) {}, SerialDevice::WriteWait::Writable}),
    [](const auto& row) { return row.param.name; });

// ---- Going away ----

// The configured fault strikes when the fatal frame has arrived, not when it
// was written; the hang-up is reported once, and the port stays gone.
TEST(InProcessDevice, ReportsTheHangUpOnceAtTheFatalFramesArrival)
{
    SimOptions o;
    o.baud = 9600;
    o.vanishAfterFrames = 0;
    InProcessDevice device(o);
    auto port = OpenedPort(device);
    const std::string frame = CommandFrame("PFLASH") + std::string(92, 'x');  // 100 characters: 104 ms

    const auto start = Clock::now();
    ASSERT_EQ(port->write(frame.data(), 100), 100);
    EXPECT_FALSE(port->HungUp());
    std::uint32_t mask = 0;
    EXPECT_EQ(port->waitEvent(mask, kLongWait), SerialDevice::WaitStatus::HungUp);
    EXPECT_GE(MillisecondsSince(start), 8);  // the frame's 8 characters
    EXPECT_LT(MillisecondsSince(start), 5000);

    EXPECT_TRUE(port->HungUp());
    EXPECT_TRUE(device.Vanished());
    EXPECT_EQ(port->waitEvent(mask, 50ms), SerialDevice::WaitStatus::Timeout);
    EXPECT_EQ(port->write(frame.data(), 1), -1);
    EXPECT_EQ(device.Factory()()->open(device.PortName()), SerialDevice::OpenStatus::NotFound);
}

// The program learns of the hang-up from its port, without a wait of its own running out.
TEST(InProcessDevice, VanishReachesTheProgramsPort)
{
    InProcessDevice device;
    Client client(device);
    client.port.Open();
    ASSERT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r");
    const auto start = Clock::now();
    device.Vanish();
    EXPECT_TRUE(client.PumpUntil([&] { return client.port.HungUp(); }));
    EXPECT_LT(MillisecondsSince(start), 5000);
}

TEST(InProcessDevice, StopSilencesTheDeviceAndKeepsThePort)
{
    SimOptions o;
    o.extraDelay = 1h;
    InProcessDevice device(o);
    auto port = OpenedPort(device);
    ASSERT_EQ(port->write(CommandFrame("PFLASH").data(), 8), 8);
    ASSERT_TRUE(device.WaitForFrames(1, kArrival));
    device.Stop();
    device.Stop();
    ASSERT_EQ(port->write(CommandFrame("n").data(), 3), 3);
    std::uint32_t mask = 0;
    EXPECT_EQ(port->waitEvent(mask, 100ms), SerialDevice::WaitStatus::Timeout);
    EXPECT_FALSE(port->HungUp());
    EXPECT_FALSE(device.Vanished());
    EXPECT_EQ(device.Frames(), std::vector<std::string>{"PFLASH"});
}

// A deaf device (one that reads nothing) is only simulated on a pseudo-terminal;
// here it would be a device that silently hears everything.
TEST(InProcessDevice, RefusesToBeDeaf)
{
    SimOptions options;
    options.deaf = true;
    EXPECT_THROW(InProcessDevice{options}, std::invalid_argument);
}

}  // namespace
}  // namespace kt::sim
