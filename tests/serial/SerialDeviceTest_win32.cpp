// The Win32 serial device against the device simulator on COM ports, which
// scripts/wine-com-test.sh prepares (under Wine: a Linux pseudo-terminal seen
// as a COM port) and names in the environment:
//   KT_COM_PLAIN   the simulator as it comes
//   KT_COM_PACED   the simulator paced at 9600 baud: replies arrive a character at a time
//   KT_COM_VANISH  the simulator that vanishes at its second frame
//   KT_COM_DEAF    the simulator that reads nothing, so that writes stall
#include "serial/SerialDevice.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "platform/Text_win32.h"

namespace kt::serial {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Far above anything the device needs, for a loaded two-core machine under Wine.
constexpr auto kReplyTimeout = 10s;
constexpr auto kPromptly = 3s;
constexpr int kQueueSize = 4096;

std::string Port(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr ? value : "";
}

std::string Frame(const std::string& command)
{
    return "\x1B" + command + "\r";
}

Dcb LineSettings()
{
    Dcb dcb;
    dcb.dcbLength = kDcbSize;
    dcb.baudRate = 1000000;
    dcb.flags = kDcbBinary | kDcbDtrControlEnable | kDcbRtsControlEnable;
    dcb.byteSize = 8;
    dcb.parity = kNoParity;
    dcb.stopBits = kOneStopBit;
    return dcb;
}

// An open device with the settings the port core gives it.
std::unique_ptr<SerialDevice> OpenDevice(const std::string& name)
{
    auto device = SerialDevice::create();
    EXPECT_EQ(device->open(name), SerialDevice::OpenStatus::Opened) << name;
    EXPECT_TRUE(device->setTimeouts());
    EXPECT_TRUE(device->setupQueues(kQueueSize, kQueueSize));
    EXPECT_TRUE(device->setEventMask(kAllLineEvents));
    EXPECT_TRUE(device->setState(LineSettings()));
    // Replies left over from an earlier test.
    EXPECT_TRUE(device->purge(kPurgeRxAbort | kPurgeRxClear));
    return device;
}

// Writes all of `bytes` as the write thread does: what the device does not
// take now goes after waitWritable.
bool WriteAll(SerialDevice& device, const std::string& bytes)
{
    std::size_t done = 0;
    const auto deadline = Clock::now() + kReplyTimeout;
    while (done < bytes.size() && Clock::now() < deadline) {
        const int n = device.write(bytes.data() + done, static_cast<int>(bytes.size() - done));
        if (n < 0)
            return false;
        done += static_cast<std::size_t>(n);
        if (n == 0 && device.waitWritable() == SerialDevice::WriteWait::Failed)
            return false;
    }
    return done == bytes.size();
}

// The event thread and a reader as the port core has them: one thread waits
// for events, another reads when told, each with its own timing.
class EventReader {
public:
    explicit EventReader(SerialDevice& device) : device_(device)
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                std::uint32_t mask = 0;
                const auto status = device_.waitEvent(mask, 200ms);
                std::lock_guard lock(mutex_);
                if (status == SerialDevice::WaitStatus::HungUp)
                    ++hangUps_;
                if (status == SerialDevice::WaitStatus::Event && (mask & kEvRxChar))
                    ++rxEvents_;
                if (status == SerialDevice::WaitStatus::Timeout)
                    ++ticks_;
                changed_.notify_all();
            }
        });
    }
    ~EventReader()
    {
        stop_ = true;
        device_.wakeEventWait();
        thread_.join();
    }

    enum class Pace { OnEvents, Racing };

    // Reads until `count` bytes came or the timeout passed. OnEvents reads as
    // the port core does, when the event thread reports received data (or at
    // its idle tick); Racing reads also between events, while the event
    // thread's one-byte read may be pending.
    std::string
    Read(std::size_t count, Pace pace = Pace::Racing,
         std::chrono::milliseconds timeout = std::chrono::duration_cast<std::chrono::milliseconds>(kReplyTimeout))
    {
        std::string out;
        const auto deadline = Clock::now() + timeout;
        int seenEvents = 0;
        while (out.size() < count && Clock::now() < deadline) {
            if (pace == Pace::OnEvents) {
                std::unique_lock lock(mutex_);
                changed_.wait_until(lock, deadline, [&] { return rxEvents_ > seenEvents || ticks_ > 0; });
                seenEvents = rxEvents_;
                ticks_ = 0;
            }
            char buffer[7];  // small on purpose: bytes stay queued between reads
            const int want = static_cast<int>(std::min<std::size_t>(sizeof buffer, count - out.size()));
            const int got = device_.read(buffer, want);
            if (got > 0) {
                out.append(buffer, static_cast<std::size_t>(got));
                continue;
            }
            if (pace == Pace::Racing) {
                std::unique_lock lock(mutex_);
                changed_.wait_for(lock, 5ms);
            }
        }
        return out;
    }

    int RxEvents()
    {
        std::lock_guard lock(mutex_);
        return rxEvents_;
    }
    bool WaitForHangUp(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return hangUps_ > 0; });
    }
    int HangUps()
    {
        std::lock_guard lock(mutex_);
        return hangUps_;
    }

private:
    SerialDevice& device_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
    int rxEvents_ = 0;
    int ticks_ = 0;  // idle ticks since the last read on events
    int hangUps_ = 0;
    std::thread thread_;
};

class Win32SerialDeviceTest : public ::testing::Test {
protected:
    static std::string Need(const char* variable)
    {
        const std::string name = Port(variable);
        if (name.empty())
            ADD_FAILURE() << variable << " names no port: run this program through scripts/wine-com-test.sh";
        return name;
    }
};

TEST_F(Win32SerialDeviceTest, OpensComPortsByNameAndRefusesOneInUse)
{
    const std::string plain = Need("KT_COM_PLAIN");
    ASSERT_FALSE(plain.empty());
    auto device = SerialDevice::create();
    EXPECT_EQ(device->open(plain), SerialDevice::OpenStatus::Opened);
    // The same port again, through the device namespace, while it is open: busy.
    auto second = SerialDevice::create();
    EXPECT_EQ(second->open("\\\\.\\" + plain), SerialDevice::OpenStatus::Busy);
    EXPECT_EQ(second->openFailure(), PortOpenFailure::Busy);
    EXPECT_EQ(second->openFailureDetail(), "in use by another program");
    device->close();
    EXPECT_EQ(second->open("\\\\.\\" + plain), SerialDevice::OpenStatus::Opened) << "close released the port";
    EXPECT_EQ(second->openFailure(), PortOpenFailure::None) << "the reason of the refusal before is forgotten";
    EXPECT_EQ(second->openFailureDetail(), "");
    second->close();
}

// A file in the temporary folder, removed with the fixture.
class TempFile {
public:
    TempFile()
    {
        wchar_t folder[MAX_PATH + 1];
        wchar_t file[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
        if (length == 0 || length > MAX_PATH || ::GetTempFileNameW(folder, L"kt", 0, file) == 0)
            ADD_FAILURE() << "no temporary file";
        else
            path_ = file;
    }
    ~TempFile()
    {
        if (!path_.empty())
            ::DeleteFileW(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    std::string Path() const { return platform::ToUtf8(path_); }

private:
    std::wstring path_;
};

struct RefusedName {
    const char* name;
    std::string (*path)(const TempFile& file);
    SerialDevice::OpenStatus status;
    PortOpenFailure failure;
    const char* detail;
};

std::ostream& operator<<(std::ostream& os, const RefusedName& row)
{
    return os << row.name;
}

class RefusedNameTest : public ::testing::TestWithParam<RefusedName> {
protected:
    TempFile file_;
};

TEST_P(RefusedNameTest, SaysWhyTheNameIsNoPort)
{
    const RefusedName& row = GetParam();
    const std::string path = row.path(file_);
    auto device = SerialDevice::create();
    EXPECT_EQ(device->open(path), row.status) << path;
    EXPECT_EQ(device->openFailure(), row.failure) << path;
    EXPECT_EQ(device->openFailureDetail(), row.detail) << path;
}

INSTANTIATE_TEST_SUITE_P(
    Open, RefusedNameTest,
    ::testing::Values(RefusedName{"MissingComPort", [](const TempFile&) { return std::string("COM250"); },
                                  SerialDevice::OpenStatus::NotFound, PortOpenFailure::NoSuchDevice, "no such device"},
                      RefusedName{"NoName", [](const TempFile&) { return std::string(); },
                                  SerialDevice::OpenStatus::NotFound, PortOpenFailure::NoSuchDevice, "no such device"},
                      RefusedName{"DeviceThatIsNoPort", [](const TempFile&) { return std::string("NUL"); },
                                  SerialDevice::OpenStatus::NotFound, PortOpenFailure::NotATerminal,
                                  "not a serial port"},
                      RefusedName{"PlainFile", [](const TempFile& file) { return file.Path(); },
                                  SerialDevice::OpenStatus::NotFound, PortOpenFailure::NotATerminal,
                                  "not a serial port"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(Win32SerialDeviceTest, SettingsReadBackAsWritten)
{
    const std::string plain = Need("KT_COM_PLAIN");
    ASSERT_FALSE(plain.empty());
    auto device = OpenDevice(plain);
    Dcb read;
    ASSERT_TRUE(device->getState(read));
    EXPECT_EQ(read.baudRate, 1000000u);
    EXPECT_EQ(read.byteSize, 8);
    EXPECT_EQ(read.parity, kNoParity);
    EXPECT_EQ(read.stopBits, kOneStopBit);
    Dcb zero = LineSettings();
    zero.baudRate = 0;
    EXPECT_FALSE(device->setState(zero)) << "speed 0 is no setting";
}

TEST_F(Win32SerialDeviceTest, RepliesArriveWholeAndInOrder)
{
    const std::string plain = Need("KT_COM_PLAIN");
    ASSERT_FALSE(plain.empty());
    auto device = OpenDevice(plain);
    EventReader reader(*device);
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(WriteAll(*device, Frame("PFLASH") + Frame("n")));
        ASSERT_EQ(reader.Read(14, EventReader::Pace::OnEvents), "\rDRAXO_FLASHER") << "exchange " << i + 1;
    }
    EXPECT_GE(reader.RxEvents(), 20) << "received data was not signalled";
}

// At 9600 baud the reply comes a character about every millisecond: the
// one-byte read that signals data and the reads of the rest meet all the time.
TEST_F(Win32SerialDeviceTest, ReplySplitInPiecesLosesNoCharacter)
{
    const std::string paced = Need("KT_COM_PACED");
    ASSERT_FALSE(paced.empty());
    auto device = OpenDevice(paced);
    EventReader reader(*device);
    std::string expected;
    std::string frames;
    for (int i = 0; i < 10; ++i) {
        frames += Frame("n");
        expected += "DRAXO_FLASHER";
    }
    for (const auto pace : {EventReader::Pace::Racing, EventReader::Pace::OnEvents}) {
        ASSERT_TRUE(WriteAll(*device, frames));
        EXPECT_EQ(reader.Read(expected.size(), pace), expected);
        EXPECT_EQ(reader.Read(1, EventReader::Pace::Racing, 300ms), "") << "nothing more, nothing twice";
    }
}

TEST_F(Win32SerialDeviceTest, CloseEndsTheWorkInFlightPromptly)
{
    const std::string plain = Need("KT_COM_PLAIN");
    ASSERT_FALSE(plain.empty());
    for (int round = 0; round < 5; ++round) {
        auto device = OpenDevice(plain);
        {
            EventReader reader(*device);  // leaves its one-byte read pending
            ASSERT_TRUE(WriteAll(*device, Frame("PFLASH")));
            ASSERT_EQ(reader.Read(1), "\r");
            // The reply to this one is on its way while the port closes.
            ASSERT_TRUE(WriteAll(*device, Frame("n")));
        }
        const auto started = Clock::now();
        device->close();
        EXPECT_LT(Clock::now() - started, kPromptly) << "round " << round + 1;
    }
    // The port was released every time, and nothing of the old replies is left.
    auto device = OpenDevice(plain);
    EventReader reader(*device);
    ASSERT_TRUE(device->purge(kPurgeRxAbort | kPurgeRxClear));
    ASSERT_TRUE(WriteAll(*device, Frame("PFLASH")));
    EXPECT_EQ(reader.Read(1), "\r");
}

TEST_F(Win32SerialDeviceTest, WakesEndTheirWaitsAtOnce)
{
    const std::string plain = Need("KT_COM_PLAIN");
    ASSERT_FALSE(plain.empty());
    auto device = OpenDevice(plain);
    auto waiting = std::async(std::launch::async, [&] {
        std::uint32_t mask = 0;
        return device->waitEvent(mask, 60s);
    });
    std::this_thread::sleep_for(50ms);
    const auto started = Clock::now();
    device->wakeEventWait();
    ASSERT_EQ(waiting.wait_for(kPromptly), std::future_status::ready) << "the event wait was not woken";
    EXPECT_EQ(waiting.get(), SerialDevice::WaitStatus::Woken);
    EXPECT_LT(Clock::now() - started, kPromptly);
}

// A device that stops reading: the write stays in progress, wakes still reach
// the write thread, a purge from another thread ends the write without its
// block going out again, and close does not wait for the line.
TEST_F(Win32SerialDeviceTest, StalledWriteIsCancelledAndNotSentAgain)
{
    const std::string deaf = Need("KT_COM_DEAF");
    ASSERT_FALSE(deaf.empty());
    auto device = OpenDevice(deaf);
    const std::string block(64 * 1024, 'x');
    // Fill the line until a write stays in progress.
    bool pending = false;
    for (int i = 0; i < 64 && !pending; ++i) {
        const int n = device->write(block.data(), static_cast<int>(block.size()));
        ASSERT_GE(n, 0);
        pending = n == 0;
    }
    ASSERT_TRUE(pending) << "4 MB went out to a device that reads nothing";
    ComStat stat;
    std::uint32_t errors = 0;
    ASSERT_TRUE(device->clearCommError(errors, stat));
    EXPECT_GT(stat.outQueue, 0u) << "a write in progress counts as queued output";

    // From here on the write side runs on one thread at a time, as the write
    // thread has it: a write that finds the block still going, then the wait.
    auto writeAndWait = [&] {
        return std::async(std::launch::async, [&] {
            const int n = device->write(block.data(), static_cast<int>(block.size()));
            if (n != 0) {
                ADD_FAILURE() << "the stalled write reported " << n;
                return SerialDevice::WriteWait::Writable;
            }
            return device->waitWritable();
        });
    };
    auto writer = writeAndWait();
    EXPECT_EQ(writer.wait_for(200ms), std::future_status::timeout) << "a stalled line reported writable";
    device->wakeWriter();
    ASSERT_EQ(writer.wait_for(kPromptly), std::future_status::ready);
    EXPECT_EQ(writer.get(), SerialDevice::WriteWait::Woken);

    // The purge wakes the writer too; woken, it tries its block again, which
    // must neither go out nor wait.
    writer = std::async(std::launch::async, [&] {
        auto result = SerialDevice::WriteWait::Woken;
        for (int turn = 0; turn < 3 && result == SerialDevice::WriteWait::Woken; ++turn) {
            const int n = device->write(block.data(), static_cast<int>(block.size()));
            if (n != 0) {
                ADD_FAILURE() << "the write reported " << n << " bytes in turn " << turn + 1;
                return SerialDevice::WriteWait::Writable;
            }
            result = device->waitWritable();
        }
        return result;
    });
    ASSERT_EQ(writer.wait_for(200ms), std::future_status::timeout);
    const auto started = Clock::now();
    ASSERT_TRUE(device->purge(kPurgeTxAbort | kPurgeTxClear));
    ASSERT_EQ(writer.wait_for(kPromptly), std::future_status::ready) << "the purge left the writer waiting";
    EXPECT_EQ(writer.get(), SerialDevice::WriteWait::Failed) << "the aborted block would go out again";
    EXPECT_LT(Clock::now() - started, kPromptly);

    const auto closing = Clock::now();
    device->close();
    EXPECT_LT(Clock::now() - closing, kPromptly);
}

TEST_F(Win32SerialDeviceTest, VanishedFarEndIsReportedOnce)
{
    const std::string vanish = Need("KT_COM_VANISH");
    ASSERT_FALSE(vanish.empty());
    auto device = OpenDevice(vanish);
    EventReader reader(*device);
    ASSERT_TRUE(WriteAll(*device, Frame("PFLASH")));
    ASSERT_EQ(reader.Read(1), "\r");
    EXPECT_FALSE(device->HungUp());
    // The second frame makes it vanish.
    ASSERT_TRUE(WriteAll(*device, Frame("n")));
    EXPECT_TRUE(reader.WaitForHangUp(std::chrono::duration_cast<std::chrono::milliseconds>(kReplyTimeout)))
        << "the vanished device was not noticed";
    EXPECT_TRUE(device->HungUp());
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(reader.HangUps(), 1) << "the hang-up is reported once";
    const std::string frame = Frame("PFLASH");
    const int n = device->write(frame.data(), static_cast<int>(frame.size()));
    EXPECT_TRUE(n < 0 || (n == 0 && device->waitWritable() == SerialDevice::WriteWait::Failed))
        << "a write to a vanished device succeeded";
}

// An idle open port waits without spinning: the event thread sleeps between
// its ticks, whatever Wine or the driver does with the pending read.
TEST_F(Win32SerialDeviceTest, IdlePortUsesNoProcessor)
{
    const std::string plain = Need("KT_COM_PLAIN");
    ASSERT_FALSE(plain.empty());
    auto device = OpenDevice(plain);
    auto cpuTime = [] {
        FILETIME created, exited, kernel, user;
        ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
        auto ticks = [](const FILETIME& t) {
            return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        };
        return std::chrono::microseconds((ticks(kernel) + ticks(user)) / 10);
    };
    const auto cpuBefore = cpuTime();
    const auto wallBefore = Clock::now();
    {
        EventReader reader(*device);
        std::this_thread::sleep_for(2s);
    }
    const auto cpu = cpuTime() - cpuBefore;
    const auto wall = Clock::now() - wallBefore;
    // A spinning wait takes the whole core; a sleeping one a few milliseconds.
    EXPECT_LT(cpu * 4, wall) << "the idle port used "
                             << std::chrono::duration_cast<std::chrono::milliseconds>(cpu).count() << " ms of "
                             << std::chrono::duration_cast<std::chrono::milliseconds>(wall).count() << " ms";
}

}  // namespace
}  // namespace kt::serial
