#include "platform/Console.h"
#include "platform/ExecutablePath.h"
#include "platform/LocalClock.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

namespace kt::platform {
namespace {

using namespace std::chrono_literals;

TEST(ExecutablePath, NamesThisTestProgram)
{
    const auto path = ExecutablePath();
    ASSERT_TRUE(path.has_value());
    EXPECT_TRUE(std::filesystem::path(*path).is_absolute());
    EXPECT_EQ(std::filesystem::path(*path).filename(), "platform_tests.exe");
}

// The device's clock is set from this: a conversion that ignored the time
// zone (gmtime) would set every device off by the zone's offset.
TEST(LocalTime, FollowsTheTimeZone)
{
    // The C runtime's spelling of three hours east of UTC.
    ::_putenv_s("TZ", "KTT-3");
    ::_tzset();
    // 2026-12-10 12:34:56 UTC
    const std::tm local = LocalTime(1796906096);
    ::_putenv_s("TZ", "");
    ::_tzset();
    EXPECT_EQ(local.tm_year, 126);
    EXPECT_EQ(local.tm_mon, 11);
    EXPECT_EQ(local.tm_mday, 10);
    EXPECT_EQ(local.tm_hour, 15);
    EXPECT_EQ(local.tm_min, 34);
    EXPECT_EQ(local.tm_sec, 56);
}

TEST(Thread, PriorityReachesTheScheduler)
{
    std::promise<int> seen;
    std::thread worker([&] {
        ASSERT_TRUE(SetThreadPriority(CurrentThreadId(), ThreadPriority::Lowest));
        seen.set_value(::GetThreadPriority(::GetCurrentThread()));
    });
    const int value = seen.get_future().get();
    worker.join();
    EXPECT_EQ(value, THREAD_PRIORITY_LOWEST);
    EXPECT_FALSE(SetThreadPriority(0, ThreadPriority::Normal)) << "no thread has the id 0";
}

// Standard input replaced by a pipe for the length of a test.
class PipedInput {
public:
    PipedInput()
    {
        EXPECT_TRUE(::CreatePipe(&read_, &write_, nullptr, 0));
        saved_ = ::GetStdHandle(STD_INPUT_HANDLE);
        ::SetStdHandle(STD_INPUT_HANDLE, read_);
    }
    ~PipedInput()
    {
        ::SetStdHandle(STD_INPUT_HANDLE, saved_);
        CloseWriteEnd();
        ::CloseHandle(read_);
    }
    void Write(const std::string& text)
    {
        DWORD written = 0;
        EXPECT_TRUE(::WriteFile(write_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    }
    void CloseWriteEnd()
    {
        if (write_ != nullptr)
            ::CloseHandle(write_);
        write_ = nullptr;
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    HANDLE saved_ = nullptr;
};

TEST(Console, PipeIsNoTerminal)
{
    PipedInput input;
    EXPECT_FALSE(IsTerminal(StandardStream::Input));
}

TEST(StopWatcher, ReadsATypedLineWithoutItsLineEnd)
{
    PipedInput input;
    StopWatcher watcher([] {});
    input.Write("yes\r\nmore\n");
    std::string line;
    EXPECT_EQ(watcher.ReadLine(line, 64), StopWatcher::LineResult::Line);
    EXPECT_EQ(line, "yes");
    EXPECT_EQ(watcher.ReadLine(line, 2), StopWatcher::LineResult::Line);
    EXPECT_EQ(line, "mo");  // cut to the length asked for
    input.CloseWriteEnd();
    EXPECT_EQ(watcher.ReadLine(line, 64), StopWatcher::LineResult::Closed);
}

// Ctrl+C reaches the watcher, not the default handler that would end the
// program, and ends a read that waits for a typed answer.
TEST(StopWatcher, CtrlCEndsAWaitingRead)
{
    PipedInput input;  // nothing is ever typed
    std::string line;
    {
        std::atomic<int> stops{0};
        StopWatcher watcher([&] { ++stops; });
        if (!::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0))
            GTEST_SKIP() << "no console to send Ctrl+C in (error " << ::GetLastError() << "; Wine without one)";
        // A stop that came before the question answers it.
        EXPECT_EQ(watcher.ReadLine(line, 64), StopWatcher::LineResult::Stopped);
        EXPECT_EQ(stops.load(), 1);
    }
    std::atomic<int> stops{0};
    StopWatcher watcher([&] { ++stops; });
    std::thread sender([] {
        std::this_thread::sleep_for(100ms);
        ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    });
    const auto start = std::chrono::steady_clock::now();
    const auto result = watcher.ReadLine(line, 64);
    const auto waited = std::chrono::steady_clock::now() - start;
    sender.join();
    EXPECT_EQ(result, StopWatcher::LineResult::Stopped);
    EXPECT_LT(waited, 5s);
    EXPECT_EQ(stops.load(), 1);
}

}  // namespace
}  // namespace kt::platform
