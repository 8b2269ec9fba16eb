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
// The program and the floor take turns, each round against fresh simulators,
// so that a slow spell of the machine falls on both; the phase ratios are
// medians over the rounds, and the median block time of each side, over every
// block of every round, shows what the host costs a block beside the stalls.
//
//   update_bench [--core BYTES] [--media BYTES] [--baud N] [--rounds N]
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

// Times from the writer's setting of the bar's range to its last step, and
// the moment of every step (one a block).
struct PhaseClock {
    std::optional<Clock::time_point> start;
    Clock::time_point last;
    int steps = 0;
    std::vector<Clock::time_point> marks;  // the start, then each step

    void Watch(kt::ProgressBar& bar)
    {
        start.reset();
        steps = 0;
        marks.clear();
        bar.OnChange([this](const kt::ProgressBar& b) {
            if (b.Position() == b.Min() && b.Max() > 100 && !start) {
                start = Clock::now();
                marks.push_back(*start);
            } else if (start && b.Position() > b.Min()) {
                last = Clock::now();
                marks.push_back(last);
                ++steps;
            }
        });
    }
    double Seconds() const { return start ? std::chrono::duration<double>(last - *start).count() : 0.0; }
};

// The time each block took, in microseconds: from one mark to the next.
std::vector<double> BlockTimes(const std::vector<Clock::time_point>& marks)
{
    std::vector<double> times;
    for (std::size_t i = 1; i < marks.size(); ++i)
        times.push_back(std::chrono::duration<double, std::micro>(marks[i] - marks[i - 1]).count());
    return times;
}

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
    std::vector<double> coreBlockUs;  // each block's time
    std::vector<double> mediaBlockUs;
    std::vector<double> turnarounds;
};

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// The program against a fresh simulator: an information readout, then the
// update's two block phases; prints the CPU figures of both.
std::optional<PhaseTimes> RunProgram(int baud, const kt::KVF_TYPE& package, const std::string& turnsPath)
{
    PhaseTimes program;
    {
        SimProcess sim(baud, {"--turnarounds", turnsPath});
        BenchHost host;
        kt::serial::TSpComPort comm;
        kt::DeviceSession::ConfigurePort(comm);
        comm.SetBaudRate(baud);
        kt::DeviceSession session(comm, host, package);
        session.PortName = sim.port;

        // Information readout: CPU against wall time.
        const double cpu0 = CpuSeconds();
        const auto wall0 = Clock::now();
        if (!session.ToolInfoClick()) {
            std::printf("no device answered on %s\n", sim.port.c_str());
            return std::nullopt;
        }
        const double infoWall = std::chrono::duration<double>(Clock::now() - wall0).count();
        const double infoCpu = CpuSeconds() - cpu0;

        if (!session.ConnectDevice())
            return std::nullopt;
        session.BeginBusy();
        const double updateCpu0 = CpuSeconds();
        const auto updateWall0 = Clock::now();
        PhaseClock phase;
        phase.Watch(host.progress);
        const bool coreOk = session.UpdateCore();
        program.core = phase.Seconds();
        program.coreBlocks = phase.steps;
        program.coreBlockUs = BlockTimes(phase.marks);
        phase.Watch(host.progress);
        const bool mediaOk = coreOk && session.UpdateMedia();
        program.media = phase.Seconds();
        program.mediaBlocks = phase.steps;
        program.mediaBlockUs = BlockTimes(phase.marks);
        const double updateWall = std::chrono::duration<double>(Clock::now() - updateWall0).count();
        const double updateCpu = CpuSeconds() - updateCpu0;
        session.EndBusy();
        if (!coreOk || !mediaOk) {
            std::printf("the update failed\n");
            return std::nullopt;
        }
        std::printf(
            "  program: information readout CPU %.2f %% of its wall time (%.3f s); "
            "update CPU %.2f %% of one core (%.3f s)\n",
            100.0 * infoCpu / infoWall, infoWall, 100.0 * updateCpu / updateWall, updateWall);
    }  // the simulator writes its turnarounds as it ends
    program.turnarounds = ReadTurnarounds(turnsPath);
    return program;
}

// The simplest host against a fresh simulator of the same kind.
std::optional<PhaseTimes> RunFloor(int baud, const kt::KVF_TYPE& package, int coreBlocks, const std::string& turnsPath)
{
    PhaseTimes floor;
    {
        SimProcess sim(baud, {"--turnarounds", turnsPath});
        kt::bench::FloorHost host;
        if (!host.Open(sim.port)) {
            std::printf("the floor host cannot open %s\n", sim.port.c_str());
            return std::nullopt;
        }
        const auto core = host.CorePhase(package.CORE, coreBlocks);
        floor.coreBlockUs = BlockTimes(host.acks);
        const auto media = core ? host.MediaPhase(package.FLASH) : std::nullopt;
        floor.mediaBlockUs = BlockTimes(host.acks);
        if (!core || !media) {
            std::printf("the floor host's update failed\n");
            return std::nullopt;
        }
        floor.core = *core;
        floor.media = *media;
    }
    floor.turnarounds = ReadTurnarounds(turnsPath);
    return floor;
}

}  // namespace

int main(int argc, char** argv)
{
    int coreSize = 1 << 20;
    int mediaSize = 1 << 20;
    int baud = 1000000;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--core") == 0)
            coreSize = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--media") == 0)
            mediaSize = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--baud") == 0)
            baud = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    char scratch[] = "/tmp/kt-update-bench-XXXXXX";
    if (::mkdtemp(scratch) == nullptr)
        return 1;
    const std::string programTurns = std::string(scratch) + "/program.txt";
    const std::string floorTurns = std::string(scratch) + "/floor.txt";

    const kt::KVF_TYPE package = kt::bench::PatternPackage(coreSize, mediaSize);
    const double charSeconds = 10.0 / baud;
    std::printf("simulated devices at %d baud (10 bits a character); %d rounds of the program, then the floor\n", baud,
                rounds);

    std::vector<double> coreRatios, mediaRatios, programCore, programMedia, floorCore, floorMedia;
    std::vector<double> programTurnarounds, floorTurnarounds;
    std::vector<double> programCoreBlocks, floorCoreBlocks, programMediaBlocks, floorMediaBlocks;
    int coreBlocks = 0, mediaBlocks = 0;
    for (int round = 1; round <= rounds; ++round) {
        std::printf("round %d\n", round);
        const auto program = RunProgram(baud, package, programTurns);
        const auto floor = program ? RunFloor(baud, package, coreSize / 260, floorTurns) : std::nullopt;
        if (!floor) {
            std::filesystem::remove_all(scratch);
            return 1;
        }
        coreBlocks = program->coreBlocks;
        mediaBlocks = program->mediaBlocks;
        std::printf("  core  program %.3f s, floor %.3f s, program/floor %.4f\n", program->core, floor->core,
                    program->core / floor->core);
        std::printf("  media program %.3f s, floor %.3f s, program/floor %.4f\n", program->media, floor->media,
                    program->media / floor->media);
        coreRatios.push_back(program->core / floor->core);
        mediaRatios.push_back(program->media / floor->media);
        programCore.push_back(program->core);
        programMedia.push_back(program->media);
        floorCore.push_back(floor->core);
        floorMedia.push_back(floor->media);
        programTurnarounds.insert(programTurnarounds.end(), program->turnarounds.begin(), program->turnarounds.end());
        auto pool = [](std::vector<double>& into, const std::vector<double>& from) {
            into.insert(into.end(), from.begin(), from.end());
        };
        pool(programCoreBlocks, program->coreBlockUs);
        pool(floorCoreBlocks, floor->coreBlockUs);
        pool(programMediaBlocks, program->mediaBlockUs);
        pool(floorMediaBlocks, floor->mediaBlockUs);
        floorTurnarounds.insert(floorTurnarounds.end(), floor->turnarounds.begin(), floor->turnarounds.end());
    }
    std::filesystem::remove_all(scratch);
    std::sort(programTurnarounds.begin(), programTurnarounds.end());
    std::sort(floorTurnarounds.begin(), floorTurnarounds.end());

    const double coreLimit = coreBlocks * (525 + 1) * charSeconds;
    const double mediaLimit = mediaBlocks * (1033 + 1) * charSeconds;
    std::printf("medians over %d rounds:\n", rounds);
    std::printf("core:  %d blocks of 260 bytes; line limit %.3f s\n", coreBlocks, coreLimit);
    std::printf("  program %.3f s -> %.1f %% of the line's limit; floor %.3f s -> %.1f %%; program/floor %.4f\n",
                Median(programCore), 100.0 * coreLimit / Median(programCore), Median(floorCore),
                100.0 * coreLimit / Median(floorCore), Median(coreRatios));
    std::printf("media: %d blocks of 512 bytes; line limit %.3f s\n", mediaBlocks, mediaLimit);
    std::printf("  program %.3f s -> %.1f %% of the line's limit; floor %.3f s -> %.1f %%; program/floor %.4f\n",
                Median(programMedia), 100.0 * mediaLimit / Median(programMedia), Median(floorMedia),
                100.0 * mediaLimit / Median(floorMedia), Median(mediaRatios));
    // A stall of the machine stretches a few blocks by milliseconds and moves
    // the phase totals; the median block is what the host itself costs.
    std::printf("per block, medians over every block of every round (a stall of the machine moves these least):\n");
    std::printf("  core:  program %.1f us, floor %.1f us, program/floor %.4f\n", Median(programCoreBlocks),
                Median(floorCoreBlocks), Median(programCoreBlocks) / Median(floorCoreBlocks));
    std::printf("  media: program %.1f us, floor %.1f us, program/floor %.4f\n", Median(programMediaBlocks),
                Median(floorMediaBlocks), Median(programMediaBlocks) / Median(floorMediaBlocks));
    std::printf("turnaround, acknowledgement to the next frame's first character, as the simulator sees it:\n");
    std::printf("  program: median %.1f us, 99th percentile %.1f us (%zu)\n", Percentile(programTurnarounds, 0.5),
                Percentile(programTurnarounds, 0.99), programTurnarounds.size());
    std::printf("  floor:   median %.1f us, 99th percentile %.1f us (%zu)\n", Percentile(floorTurnarounds, 0.5),
                Percentile(floorTurnarounds, 0.99), floorTurnarounds.size());
    return 0;
}
