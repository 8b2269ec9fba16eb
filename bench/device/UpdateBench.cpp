// Update throughput against a simulated device paced at the line's speed:
// the core and media block phases against the line's limit for the same
// traffic (frame characters plus the one-character acknowledgement, ten bits
// a character), and the CPU time of an information readout against its wall
// time. The simulator runs as its own process, so that the CPU figures are
// this program's alone.
//
//   update_bench [--core BYTES] [--media BYTES] [--baud N]
#include "BenchDevice.h"
#include "device/DeviceSession.h"
#include "serial/PlainEventLoop.h"
#include "link/Protocol.h"
#include "gen/PackageWriter.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Shows the log when asked to.
class BenchHost : public kt::bench::BenchHost {
public:
    void AddLog(std::string_view line) override
    {
        if (verbose)
            std::printf("  | %.*s\n", static_cast<int>(line.size()), line.data());
    }
    bool verbose = false;
};

using kt::bench::CpuSeconds;
using kt::bench::SimProcess;

// Times from the writer's setting of the bar's range to its last step.
struct PhaseClock {
    std::optional<Clock::time_point> start;
    Clock::time_point last;
    int steps = 0;

    void Watch(kt::ProgressBar& bar)
    {
        start.reset();
        steps = 0;
        bar.OnChange([this](const kt::ProgressBar& b) {
            if (b.Position() == b.Min() && b.Max() > 100 && !start)
                start = Clock::now();
            else if (start && b.Position() > b.Min()) {
                last = Clock::now();
                ++steps;
            }
        });
    }
    double Seconds() const { return start ? std::chrono::duration<double>(last - *start).count() : 0.0; }
};

}  // namespace

int main(int argc, char** argv)
{
    int coreSize = 1 << 20;
    int mediaSize = 1 << 20;
    int baud = 1000000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--core") == 0)
            coreSize = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--media") == 0)
            mediaSize = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--baud") == 0)
            baud = std::atoi(argv[i + 1]);
    }

    SimProcess sim(baud);
    BenchHost host;
    kt::KVF_TYPE package;
    package.CORE_SIZE = coreSize;
    package.FLASH_SIZE = mediaSize;
    package.DEVICE = 0x21;
    package.CORE = kt::gen::PatternBytes(static_cast<std::size_t>(coreSize), 1);
    package.FLASH = kt::gen::PatternBytes(static_cast<std::size_t>(mediaSize), 2);
    kt::serial::TSpComPort comm;
    kt::DeviceSession::ConfigurePort(comm);
    comm.SetBaudRate(baud);
    kt::DeviceSession session(comm, host, package);
    session.PortName = sim.port;

    const double charSeconds = 10.0 / baud;
    std::printf("simulated device on %s at %d baud (10 bits a character)\n", sim.port.c_str(), baud);

    // Information readout: CPU against wall time.
    const double cpu0 = CpuSeconds();
    const auto wall0 = Clock::now();
    if (!session.ToolInfoClick()) {
        std::printf("no device answered\n");
        return 1;
    }
    const double infoWall = std::chrono::duration<double>(Clock::now() - wall0).count();
    const double infoCpu = CpuSeconds() - cpu0;
    std::printf("information readout: wall %.3f s, CPU %.4f s = %.2f %% of the wall time\n", infoWall, infoCpu,
                100.0 * infoCpu / infoWall);

    if (!session.ConnectDevice())
        return 1;
    session.BeginBusy();
    PhaseClock phase;
    phase.Watch(host.progress);
    const bool coreOk = session.UpdateCore();
    const double coreSeconds = phase.Seconds();
    const int coreBlocks = phase.steps;
    phase.Watch(host.progress);
    const bool mediaOk = coreOk && session.UpdateMedia();
    const double mediaSeconds = phase.Seconds();
    const int mediaBlocks = phase.steps;
    session.EndBusy();
    if (!coreOk || !mediaOk) {
        std::printf("the update failed\n");
        return 1;
    }

    const double coreLimit = coreBlocks * (525 + 1) * charSeconds;
    const double mediaLimit = mediaBlocks * (1033 + 1) * charSeconds;
    std::printf("core:  %d blocks of 260 bytes in %.3f s; line limit %.3f s -> %.1f %% of the line's limit\n",
                coreBlocks, coreSeconds, coreLimit, 100.0 * coreLimit / coreSeconds);
    std::printf("media: %d blocks of 512 bytes in %.3f s; line limit %.3f s -> %.1f %% of the line's limit\n",
                mediaBlocks, mediaSeconds, mediaLimit, 100.0 * mediaLimit / mediaSeconds);
    return 0;
}
