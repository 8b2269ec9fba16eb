#include "platform/Console.h"
#include "platform/ExecutablePath.h"
#include "platform/LocalClock.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
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
    EXPECT_EQ(std::filesystem::path(*path).filename(), "platform_tests");
}

// The device's clock is set from this: a conversion that ignored the time
// zone (gmtime) would set every device off by the zone's offset.
TEST(LocalTime, FollowsTheTimeZone)
{
    ::setenv("TZ", "UTC-3", 1);  // POSIX spelling of three hours east of UTC
    ::tzset();
    // 2026-12-10 12:34:56 UTC
    const std::tm local = LocalTime(1796906096);
    ::unsetenv("TZ");
    ::tzset();
    EXPECT_EQ(local.tm_year, 126);
    EXPECT_EQ(local.tm_mon, 11);
    EXPECT_EQ(local.tm_mday, 10);
    EXPECT_EQ(local.tm_hour, 15);
    EXPECT_EQ(local.tm_min, 34);
    EXPECT_EQ(local.tm_sec, 56);
}

TEST(Thread, LoweredPriorityReachesTheScheduler)
{
    std::promise<int> nice;
    std::thread worker([&] {
        const ThreadId self = CurrentThreadId();
        // Lowering never needs privileges.
        ASSERT_TRUE(SetThreadPriority(self, ThreadPriority::Lowest));
        nice.set_value(::getpriority(PRIO_PROCESS, static_cast<id_t>(self)));
    });
    const int value = nice.get_future().get();
    worker.join();
    EXPECT_GT(value, ::getpriority(PRIO_PROCESS, 0));
}

// Standard input replaced by a pipe for the length of a test.
class PipedInput {
public:
    PipedInput()
    {
        EXPECT_EQ(::pipe(fds_), 0);
        saved_ = ::dup(STDIN_FILENO);
        ::dup2(fds_[0], STDIN_FILENO);
    }
    ~PipedInput()
    {
        ::dup2(saved_, STDIN_FILENO);
        ::close(saved_);
        CloseWriteEnd();
        ::close(fds_[0]);
    }
    void Write(const std::string& text) { EXPECT_EQ(::write(fds_[1], text.data(), text.size()), ssize_t(text.size())); }
    void CloseWriteEnd()
    {
        if (fds_[1] >= 0)
            ::close(fds_[1]);
        fds_[1] = -1;
    }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

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

TEST(StopWatcher, StopRequestEndsAWaitingRead)
{
    PipedInput input;  // nothing is ever typed
    std::atomic<int> stops{0};
    StopWatcher watcher([&] { ++stops; });
    std::thread sender([] {
        std::this_thread::sleep_for(100ms);
        ::kill(::getpid(), SIGINT);
    });
    const auto start = std::chrono::steady_clock::now();
    std::string line;
    const auto result = watcher.ReadLine(line, 64);
    const auto waited = std::chrono::steady_clock::now() - start;
    sender.join();
    EXPECT_EQ(result, StopWatcher::LineResult::Stopped);
    EXPECT_LT(waited, 5s);
    EXPECT_EQ(stops.load(), 1);
    // A stop that came before the question still answers it.
    EXPECT_EQ(watcher.ReadLine(line, 64), StopWatcher::LineResult::Stopped);
}

}  // namespace
}  // namespace kt::platform
