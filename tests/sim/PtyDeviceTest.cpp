#include "PtyDevice.h"

#include "PtyClient.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace kt::sim {
namespace {

using test::PtyClient;
using namespace std::chrono_literals;

constexpr auto kFrameTimeout = 5s;  // for WaitForFrames, on a loaded machine
// Long enough that the device reads the first piece on its own.
constexpr auto kPauseBetweenPieces = 20ms;
// Long enough that the device notices when nobody holds the port.
constexpr auto kPortClosedPause = 10ms;

Bytes Pattern(std::size_t size, std::uint8_t seed)
{
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 3);
    return b;
}

Bytes MediaPayload(int block, const Bytes& body)
{
    Bytes data = {static_cast<std::uint8_t>(block & 0xFF), static_cast<std::uint8_t>(block >> 8)};
    data.insert(data.end(), body.begin(), body.end());
    return data;
}

TEST(PtyDevice, AnswersFramesOnItsSlavePath)
{
    PtyDevice device;
    PtyClient client(device.SlavePath());
    EXPECT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r");
    EXPECT_EQ(client.Ask(CommandFrame("n"), 13), "DRAXO_FLASHER");
}

// The host's turn, as the device sees it: from an acknowledgement leaving
// to the next frame's first character. Longer answers start no turn, and
// the wait the host takes before its next frame is measured, not hidden.
TEST(PtyDevice, MeasuresTheHostsTurnAfterEachAcknowledgement)
{
    PtyDevice device;
    PtyClient client(device.SlavePath());
    EXPECT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r");
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(client.Ask(CommandFrame("n"), 13), "DRAXO_FLASHER");  // ends the first turn
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r");  // an identity starts no turn
    const auto turns = device.Turnarounds();
    ASSERT_EQ(turns.size(), 1u);
    // The device stamps an answer once its write returned, which the host may
    // see a moment before: the pause counts, less that moment.
    EXPECT_GE(turns[0], 20ms);
    EXPECT_LT(turns[0], 5s);
}

TEST(PtyDevice, ServesThePortThroughManyOpensAndCloses)
{
    PtyDevice device;
    for (int i = 0; i < 20; ++i) {
        // The port stays closed a while, as between two operations of the program.
        std::this_thread::sleep_for(kPortClosedPause);
        PtyClient client(device.SlavePath());
        ASSERT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r") << "open number " << i + 1;
    }
}

TEST(PtyDevice, JoinsAFrameWrittenInPieces)
{
    PtyDevice device;
    PtyClient client(device.SlavePath());
    const std::string frame = DataFrame("T", {8, 12, 26, 9, 5, 3});
    client.Write(frame.substr(0, 5));
    std::this_thread::sleep_for(kPauseBetweenPieces);
    client.Write(frame.substr(5));
    EXPECT_EQ(client.Read(1), "\r");
    EXPECT_EQ(device.LastClockSet(), (ClockSetting{8, 12, 26, 9, 5, 3}));
}

TEST(PtyDevice, SilentCommandLeavesNothingBeforeTheNextReply)
{
    SimOptions o;
    o.silentOn = {"v"};
    PtyDevice device(o);
    PtyClient client(device.SlavePath());
    client.Write(CommandFrame("v"));
    EXPECT_EQ(client.Ask(CommandFrame("d"), 10), "10.12.2026");
}

TEST(PtyDevice, TakesAWholeUpdate)
{
    PtyDevice device;
    PtyClient client(device.SlavePath());
    const Bytes core0 = Pattern(kCoreBlockSize, 1), core1 = Pattern(kCoreBlockSize, 2);
    const Bytes media0 = Pattern(kMediaBlockSize, 3), media1 = Pattern(kMediaBlockSize, 4);

    ASSERT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r");
    client.Write(CommandFrame("B"));
    ASSERT_TRUE(device.WaitForFrames(2, kFrameTimeout));
    EXPECT_TRUE(device.InLoader());
    ASSERT_EQ(client.Ask(CommandFrame("n"), 12), "DRAXO_LOADER");
    ASSERT_EQ(client.Ask(CommandFrame("D"), 2), "21");
    ASSERT_EQ(client.Ask(DataFrame("W", core0), 1), "\r");
    ASSERT_EQ(client.Ask(DataFrame("W", core1), 1), "\r");
    client.Write(CommandFrame("X"));
    ASSERT_EQ(client.Ask(CommandFrame("n"), 13), "DRAXO_FLASHER");
    ASSERT_EQ(client.Ask(DataFrame("F", MediaPayload(0, media0)), 1), "\r");
    ASSERT_EQ(client.Ask(DataFrame("F", MediaPayload(1, media1)), 1), "\r");
    ASSERT_EQ(client.Ask(DataFrame("T", {8, 12, 26, 9, 5, 3}), 1), "\r");

    Bytes core = core0;
    core.insert(core.end(), core1.begin(), core1.end());
    Bytes media = media0;
    media.insert(media.end(), media1.begin(), media1.end());
    EXPECT_EQ(device.CoreImage(), core);
    EXPECT_EQ(device.MediaImage(), media);
    EXPECT_EQ(device.Frames(), (std::vector<std::string>{"PFLASH", "B", "n", "D", "W[260]", "W[260]", "X", "n",
                                                         "F[514]#0", "F[514]#1", "T080C1A09050317"}));
}

// A deaf device reads nothing: the host's writes back up until the line takes
// no more, and no frame reaches the device.
TEST(PtyDevice, DeafDeviceLetsTheHostsOutputBackUp)
{
    SimOptions options;
    options.deaf = true;
    PtyDevice device(options);
    const int fd = ::open(device.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string frame = CommandFrame("PFLASH");
    std::size_t written = 0;
    // A pseudo-terminal holds some tens of kilobytes; far more means the device reads.
    constexpr std::size_t kFarMoreThanTheLineHolds = 16 * 1024 * 1024;
    bool stalled = false;
    while (written < kFarMoreThanTheLineHolds) {
        const ssize_t n = ::write(fd, frame.data(), frame.size());
        if (n < 0) {
            stalled = errno == EAGAIN;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
    EXPECT_TRUE(stalled) << written << " bytes went out without a stall";
    EXPECT_TRUE(device.Frames().empty());
}

TEST(PtyDevice, VanishHangsUpTheOpenPort)
{
    PtyDevice device;
    PtyClient client(device.SlavePath());
    ASSERT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r");
    device.Vanish();
    EXPECT_TRUE(device.Vanished());
    EXPECT_TRUE(client.WaitForHangUp());
    EXPECT_THROW(PtyClient{device.SlavePath()}, std::system_error) << "the port is gone";
}

TEST(PtyDevice, VanishesAtTheConfiguredFrame)
{
    SimOptions o;
    o.vanishAfterFrames = 1;
    PtyDevice device(o);
    PtyClient client(device.SlavePath());
    ASSERT_EQ(client.Ask(CommandFrame("PFLASH"), 1), "\r");
    client.Write(CommandFrame("n"));
    EXPECT_TRUE(client.WaitForHangUp());
    EXPECT_TRUE(device.Vanished());
}

TEST(PtyDevice, VanishesEvenWhileTheProgramIsNotReading)
{
    SimOptions o;
    o.appendOn = {{"v", std::string(100, '.')}};
    o.vanishAfterFrames = 300;
    PtyDevice device(o);
    PtyClient client(device.SlavePath());
    // Some 32 KB of replies, twice what the pty holds: the device is left
    // waiting for room when the fatal frame comes.
    std::string frames;
    for (int i = 0; i < 301; ++i)
        frames += CommandFrame("v");
    client.Write(frames);
    EXPECT_TRUE(device.WaitForVanish(kFrameTimeout));
}

TEST(PtyDevice, StopAndVanishAfterAFaultAreHarmless)
{
    SimOptions o;
    o.vanishAfterFrames = 0;
    PtyDevice device(o);
    {
        PtyClient client(device.SlavePath());
        client.Write(CommandFrame("PFLASH"));
        EXPECT_TRUE(client.WaitForHangUp());
    }
    device.Stop();
    device.Vanish();
    device.Stop();
    EXPECT_TRUE(device.Vanished());
}

TEST(PtyDevice, StopsWhileAReplyIsStillDelayed)
{
    SimOptions o;
    o.extraDelay = 1h;
    PtyDevice device(o);
    PtyClient client(device.SlavePath());
    client.Write(CommandFrame("PFLASH"));
    ASSERT_TRUE(device.WaitForFrames(1, kFrameTimeout));
    device.Stop();  // must not wait for the hour
    EXPECT_FALSE(device.Vanished());
}

// The line of the device, 1,000,000 baud: 10 microseconds a character.
TEST(PtyDevice, PacesAMediaBlockAtTheLineSpeed)
{
    SimOptions o;
    o.baud = 1'000'000;
    PtyDevice device(o);
    PtyClient client(device.SlavePath());
    const std::string frame = DataFrame("F", MediaPayload(0, Pattern(kMediaBlockSize, 1)));
    ASSERT_EQ(frame.size(), 1033u);

    const auto start = std::chrono::steady_clock::now();
    const std::string reply = client.Ask(frame, 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    EXPECT_EQ(reply, "\r");
    // 1,034 characters on the line take 10.34 ms; only the lower bound is certain.
    EXPECT_GE(elapsed, 10ms);
}

TEST(PtyDevice, PacedReplyArrivesWhole)
{
    SimOptions o;
    o.baud = 9600;
    o.clock = ClockRecord{1, 2, 3, 4, 5, 6, 7};
    PtyDevice device(o);
    PtyClient client(device.SlavePath());
    EXPECT_EQ(client.Ask(CommandFrame("t"), 14), "01020304050607");
}

}  // namespace
}  // namespace kt::sim
