// Update throughput against a simulated device paced at the line's speed:
// the core and media block phases against the line's limit for the same
// traffic (frame characters plus the one-character acknowledgement, ten bits
// a character) and against the floor, the simplest possible host run against
// a fresh simulator in the same run; the turnaround from each acknowledgement
// to the next frame as the simulator sees it; and the CPU time of an
// information readout and of the update against their wall time. The
// simulator runs as its own process, so that the CPU figures are this
// program's alone.
//
//   update_bench [--core BYTES] [--media BYTES] [--baud N]
#include "BenchDevice.h"
#include "FloorHost.h"
#include "device/DeviceSession.h"
#include "serial/PlainEventLoop.h"
#include "link/Protocol.h"
#include "gen/PackageWriter.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>
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

// The turnarounds a simulator wrote at its end, in microseconds, sorted.
std::vector<double> ReadTurnarounds(const std::string& path)
{
    std::vector<double> values;
    std::ifstream in(path);
    for (double v; in >> v;)
        values.push_back(v);
    std::sort(values.begin(), values.end());
    return values;
}

double Percentile(const std::vector<double>& sorted, double share)
{
    if (sorted.empty())
        return 0;
    const auto index = static_cast<std::size_t>(share * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

struct PhaseTimes {
    double core = 0;
    double media = 0;
    int coreBlocks = 0;
    int mediaBlocks = 0;
    std::vector<double> turnarounds;
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
    char scratch[] = "/tmp/kt-update-bench-XXXXXX";
    if (::mkdtemp(scratch) == nullptr)
        return 1;
    const std::string programTurns = std::string(scratch) + "/program.txt";
    const std::string floorTurns = std::string(scratch) + "/floor.txt";

    const kt::KVF_TYPE package = kt::bench::PatternPackage(coreSize, mediaSize);
    const double charSeconds = 10.0 / baud;

    PhaseTimes program;
    {
        SimProcess sim(baud, {"--turnarounds", programTurns});
        BenchHost host;
        kt::serial::TSpComPort comm;
        kt::DeviceSession::ConfigurePort(comm);
        comm.SetBaudRate(baud);
        kt::DeviceSession session(comm, host, package);
        session.PortName = sim.port;
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
        const double updateCpu0 = CpuSeconds();
        const auto updateWall0 = Clock::now();
        PhaseClock phase;
        phase.Watch(host.progress);
        const bool coreOk = session.UpdateCore();
        program.core = phase.Seconds();
        program.coreBlocks = phase.steps;
        phase.Watch(host.progress);
        const bool mediaOk = coreOk && session.UpdateMedia();
        program.media = phase.Seconds();
        program.mediaBlocks = phase.steps;
        const double updateWall = std::chrono::duration<double>(Clock::now() - updateWall0).count();
        const double updateCpu = CpuSeconds() - updateCpu0;
        session.EndBusy();
        if (!coreOk || !mediaOk) {
            std::printf("the update failed\n");
            return 1;
        }
        std::printf("update (core and media): wall %.3f s, CPU %.3f s = %.2f %% of one core\n", updateWall, updateCpu,
                    100.0 * updateCpu / updateWall);
    }  // the simulator writes its turnarounds as it ends
    program.turnarounds = ReadTurnarounds(programTurns);

    // The floor: the simplest host against a fresh simulator of the same kind.
    PhaseTimes floor;
    {
        SimProcess sim(baud, {"--turnarounds", floorTurns});
        kt::bench::FloorHost host;
        if (!host.Open(sim.port)) {
            std::printf("the floor host cannot open %s\n", sim.port.c_str());
            return 1;
        }
        const auto core = host.CorePhase(package.CORE, coreSize / 260);
        const auto media = core ? host.MediaPhase(package.FLASH) : std::nullopt;
        if (!core || !media) {
            std::printf("the floor host's update failed\n");
            return 1;
        }
        floor.core = *core;
        floor.media = *media;
    }
    floor.turnarounds = ReadTurnarounds(floorTurns);
    std::filesystem::remove_all(scratch);

    const double coreLimit = program.coreBlocks * (525 + 1) * charSeconds;
    const double mediaLimit = program.mediaBlocks * (1033 + 1) * charSeconds;
    std::printf("core:  %d blocks of 260 bytes; line limit %.3f s\n", program.coreBlocks, coreLimit);
    std::printf("  program %.3f s -> %.1f %% of the line's limit; floor %.3f s -> %.1f %%; program/floor %.4f\n",
                program.core, 100.0 * coreLimit / program.core, floor.core, 100.0 * coreLimit / floor.core,
                program.core / floor.core);
    std::printf("media: %d blocks of 512 bytes; line limit %.3f s\n", program.mediaBlocks, mediaLimit);
    std::printf("  program %.3f s -> %.1f %% of the line's limit; floor %.3f s -> %.1f %%; program/floor %.4f\n",
                program.media, 100.0 * mediaLimit / program.media, floor.media, 100.0 * mediaLimit / floor.media,
                program.media / floor.media);
    std::printf("turnaround, acknowledgement to the next frame's first character, as the simulator sees it:\n");
    std::printf("  program: median %.1f us, 99th percentile %.1f us (%zu)\n", Percentile(program.turnarounds, 0.5),
                Percentile(program.turnarounds, 0.99), program.turnarounds.size());
    std::printf("  floor:   median %.1f us, 99th percentile %.1f us (%zu)\n", Percentile(floor.turnarounds, 0.5),
                Percentile(floor.turnarounds, 0.99), floor.turnarounds.size());
    return 0;
}
