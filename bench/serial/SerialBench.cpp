// Serial port figures over a pseudo-terminal pair: hand-over latency, frame round trip, idle CPU.
// Prints figures only; goals: median hand-over < 100 us, idle CPU < 1 % of one core.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/SpComPort.h"
#include "serial/SpSafeSync.h"

using namespace kt::serial;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kHandOverSamples = 2000;
constexpr int kRoundTripSamples = 1000;
constexpr std::size_t kFrameSize = 1033;  // a 512-byte media block as hex pairs with framing
constexpr auto kIdlePeriod = 5s;
// Any single sample beyond this means something is broken; the run stops.
constexpr auto kSampleTimeout = 5s;

class FarEnd {
public:
    FarEnd()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("cannot create a pseudo-terminal");
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0)
            throw std::runtime_error("ptsname_r failed");
        path_ = name;
    }
    ~FarEnd() { ::close(master_); }
    const std::string& path() const { return path_; }
    int fd() const { return master_; }

private:
    int master_ = -1;
    std::string path_;
};

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void printStats(const char* what, std::vector<double> samples)
{
    if (samples.empty()) {
        std::printf("%-38s no samples\n", what);
        return;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) { return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))]; };
    double sum = 0;
    for (double s : samples)
        sum += s;
    std::printf("%-38s n=%zu  median %8.1f us  p99 %8.1f us  mean %8.1f us  max %8.1f us\n", what, samples.size(),
                at(0.5), at(0.99), sum / static_cast<double>(samples.size()), samples.back());
}

bool pumpUntil(const std::function<bool()>& done, Clock::time_point deadline)
{
    while (!done()) {
        if (Clock::now() >= deadline)
            return false;
        WaitSyncCalls(deadline);
        ServeSyncCalls();
    }
    return true;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void openLikeTheApplication(TSpComPort& port, const std::string& path)
{
    port.SetName("Comm1");
    port.SetBaudRate(1000000);
    port.SetInBufSize(2048);
    port.SetWriteThreadPriority(tpHigher);
    port.SetComPort(path);
    port.Open();
}

// A byte written by the far end, to OnDataReceived on the main thread.
void benchHandOver()
{
    FarEnd far;
    TSpComPort port;
    std::mutex mutex;
    std::condition_variable seen;
    int received = 0;
    Clock::time_point arrivedAt;
    port.OnDataReceived = [&](TSpCustomSerialPort& sender, int) {
        const auto now = Clock::now();
        const std::string bytes = sender.ReadString();
        if (bytes.empty())
            return;
        std::lock_guard lock(mutex);
        arrivedAt = now;
        received += static_cast<int>(bytes.size());
        seen.notify_all();
    };
    openLikeTheApplication(port, far.path());

    std::vector<double> samples;
    std::atomic<bool> failed{false};
    std::thread sender([&] {
        std::mt19937 random(7);
        for (int i = 0; i < kHandOverSamples && !failed; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(300 + random() % 700));
            const auto sentAt = Clock::now();
            const char byte = static_cast<char>('A' + i % 26);
            if (::write(far.fd(), &byte, 1) != 1) {
                failed = true;
                break;
            }
            std::unique_lock lock(mutex);
            if (!seen.wait_for(lock, kSampleTimeout, [&] { return received > i; })) {
                failed = true;
                break;
            }
            samples.push_back(micros(arrivedAt - sentAt));
        }
    });
    pumpUntil(
        [&] {
            std::lock_guard lock(mutex);
            return received >= kHandOverSamples || failed;
        },
        Clock::now() + kSampleTimeout * kHandOverSamples);
    sender.join();
    port.Close();
    if (failed)
        std::printf("hand-over: a sample timed out\n");
    printStats("far-end byte -> OnDataReceived", samples);
}

// A 1,033-byte frame out, the far end answers one CR after reading all of it.
void benchRoundTrip()
{
    FarEnd far;
    TSpComPort port;
    std::string reply;
    port.OnDataReceived = [&](TSpCustomSerialPort& sender, int) { reply += sender.ReadString(); };
    openLikeTheApplication(port, far.path());

    std::atomic<bool> stop{false};
    std::thread responder([&] {
        std::size_t got = 0;
        char buffer[4096];
        while (!stop) {
            pollfd pfd{far.fd(), POLLIN, 0};
            if (::poll(&pfd, 1, 50) <= 0)
                continue;
            const auto n = ::read(far.fd(), buffer, sizeof buffer);
            if (n <= 0)
                continue;
            got += static_cast<std::size_t>(n);
            while (got >= kFrameSize) {
                got -= kFrameSize;
                const char cr = '\r';
                [[maybe_unused]] const auto w = ::write(far.fd(), &cr, 1);
            }
        }
    });

    std::string frame(kFrameSize, '0');
    frame.front() = '\x1b';
    frame.back() = '\r';
    std::vector<double> samples;
    for (int i = 0; i < kRoundTripSamples; ++i) {
        reply.clear();
        const auto start = Clock::now();
        port.WriteString(frame);
        if (!pumpUntil([&] { return !reply.empty(); }, Clock::now() + kSampleTimeout)) {
            std::printf("round trip: sample %d timed out\n", i);
            break;
        }
        samples.push_back(micros(Clock::now() - start));
    }
    stop = true;
    responder.join();
    port.Close();
    printStats("1033-byte frame -> 1-byte acknowledge", samples);
}

// An open port with nothing to do, the main thread waiting in WaitSyncCalls.
void benchIdle()
{
    FarEnd far;
    TSpComPort port;
    port.OnDataReceived = [](TSpCustomSerialPort& sender, int) { sender.ReadString(); };
    openLikeTheApplication(port, far.path());
    const double cpuBefore = cpuSeconds();
    const auto start = Clock::now();
    pumpUntil([] { return false; }, start + kIdlePeriod);
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    port.Close();
    std::printf("%-38s %.3f s CPU over %.1f s = %.3f %% of one core\n", "idle open port", cpu, wall,
                100.0 * cpu / wall);
}

}  // namespace

int main()
{
    SetSyncMainThread();
    benchHandOver();
    benchRoundTrip();
    benchIdle();
    return 0;
}
