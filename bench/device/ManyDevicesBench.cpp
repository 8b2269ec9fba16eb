// Several devices updated at once by one process, each against a simulated
// device of its own paced at the line's speed: the block phases' aggregate
// throughput against the same number of lines at their limit (frame
// characters plus the one-character acknowledgement, ten bits a character),
// and the CPU time the program spends per device. Each device runs on a
// thread of its own with a dispatcher of its own, as kt-flash-cli runs them;
// the simulators run as processes of their own, so that the CPU figures are
// this program's alone.
//
//   many_devices_bench [--devices N] [--core BYTES] [--media BYTES] [--baud N]
#include "BenchDevice.h"
#include "device/DeviceSession.h"
#include "gen/PackageWriter.h"
#include "link/Protocol.h"
#include "serial/PlainEventLoop.h"
#include "serial/SpSafeSync.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A block phase as the session tells it: from its start to its last acknowledged block.
struct Phase {
    std::optional<Clock::time_point> start;
    Clock::time_point end;
    int blocks = 0;
    double Seconds() const { return start ? std::chrono::duration<double>(end - *start).count() : 0.0; }
};

// Times each block phase as the session tells it.
class BenchHost : public kt::bench::BenchHost {
public:
    void TransferProgress(const Transfer& transfer) override
    {
        Phase& phase = transfer.step == "core" ? core : media;
        if (transfer.blocksDone == 0) {
            phase.start = Clock::now();
        } else {
            phase.end = Clock::now();
            phase.blocks = transfer.blocksDone;
        }
    }

    Phase core;
    Phase media;
};

using kt::bench::CpuSeconds;
using kt::bench::SimProcess;

struct DeviceRun {
    bool ok = false;
    int coreRetries = 0;
    Phase core;
    Phase media;
};

// One device's core and media phases, on the calling thread.
DeviceRun UpdateOne(const std::string& port, const kt::KVF_TYPE& package, int baud)
{
    kt::serial::SyncThreadScope scope;
    DeviceRun run;
    BenchHost host;
    {
        kt::serial::TSpComPort comm;
        kt::DeviceSession::ConfigurePort(comm);
        comm.SetBaudRate(baud);
        kt::DeviceSession session(comm, host, package);
        session.PortName = port;
        if (session.ConnectDevice()) {
            session.BeginBusy();
            run.ok = session.UpdateCore() && session.UpdateMedia();
            session.EndBusy();
            run.coreRetries = session.Report.coreRetries;
        }
    }
    run.core = host.core;
    run.media = host.media;
    return run;
}

// Blocks of all devices against their phases' times: the share of the
// devices' lines at their limit that the program kept busy.
void PrintPhase(const char* name, int frameChars, const std::vector<DeviceRun>& runs, Phase DeviceRun::*phase,
                double charSeconds)
{
    double limit = 0;
    double taken = 0;
    int blocks = 0;
    std::optional<Clock::time_point> first;
    Clock::time_point last{};
    for (const auto& run : runs) {
        const Phase& p = run.*phase;
        blocks += p.blocks;
        limit += p.blocks * (frameChars + 1) * charSeconds;
        taken += p.Seconds();
        if (p.start) {
            first = first ? std::min(*first, *p.start) : *p.start;
            last = std::max(last, p.end);
        }
    }
    const double span = first ? std::chrono::duration<double>(last - *first).count() : 0.0;
    const double perDevice = taken / static_cast<double>(runs.size());
    std::printf("%s: %zu devices, %d blocks in all; mean phase %.3f s, all phases within %.3f s\n", name, runs.size(),
                blocks, perDevice, span);
    std::printf("%s: aggregate throughput against %zu x the line's limit: %.1f %% (phases end to end: %.1f %%)\n", name,
                runs.size(), 100.0 * limit / taken, 100.0 * limit / (span * static_cast<double>(runs.size())));
}

}  // namespace

int main(int argc, char** argv)
{
    int devices = 8;
    int coreSize = 256 * 1024;
    int mediaSize = 256 * 1024;
    int baud = 1000000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--devices") == 0)
            devices = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--core") == 0)
            coreSize = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--media") == 0)
            mediaSize = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--baud") == 0)
            baud = std::atoi(argv[i + 1]);
    }

    std::vector<std::unique_ptr<SimProcess>> sims;
    for (int i = 0; i < devices; ++i)
        sims.push_back(std::make_unique<SimProcess>(baud));
    const kt::KVF_TYPE package = kt::bench::PatternPackage(coreSize, mediaSize);
    std::printf("%d simulated devices at %d baud (10 bits a character), %d core and %d media bytes each\n", devices,
                baud, coreSize, mediaSize);

    std::vector<DeviceRun> runs(static_cast<std::size_t>(devices));
    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    {
        std::vector<std::thread> threads;
        for (int i = 0; i < devices; ++i)
            threads.emplace_back([&, i] {
                runs[static_cast<std::size_t>(i)] = UpdateOne(sims[static_cast<std::size_t>(i)]->port, package, baud);
            });
        for (auto& thread : threads)
            thread.join();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double cpu = CpuSeconds() - cpu0;
    const auto failed = std::count_if(runs.begin(), runs.end(), [](const DeviceRun& r) { return !r.ok; });
    if (failed > 0) {
        std::printf("%ld of %d updates failed\n", static_cast<long>(failed), devices);
        return 1;
    }
    int retries = 0;
    for (const auto& run : runs)
        retries += run.coreRetries;
    std::printf("core blocks sent again: %d\n", retries);
    const double charSeconds = 10.0 / baud;
    PrintPhase("core", 525, runs, &DeviceRun::core, charSeconds);
    PrintPhase("media", 1033, runs, &DeviceRun::media, charSeconds);
    std::printf("CPU: %.3f s in all over %.3f s, %.3f s per device = %.2f %% of one core per device\n", cpu, wall,
                cpu / devices, 100.0 * cpu / devices / wall);
    return 0;
}
