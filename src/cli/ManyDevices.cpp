#include "cli/ManyDevices.h"

#include "cli/ConsoleHost.h"
#include "cli/DeviceJob.h"
#include "cli/ProgressLine.h"
#include "platform/Console.h"
#include "serial/SpSafeSync.h"
#include "shell/OperationRecord.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <list>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace kt::cli {
namespace {

using Clock = std::chrono::steady_clock;

// How often `watch` looks for new ports.
constexpr auto kWatchPoll = std::chrono::milliseconds(250);
// Enough of a typed answer to tell a yes.
constexpr std::size_t kMaxAnswer = 64;

// Forwards a stop to every running job's host, also to one that starts after it.
class StopFan {
public:
    void Add(ConsoleHost* host)
    {
        std::lock_guard lock(mutex_);
        hosts_.insert(host);
        if (stopped_)
            host->Interrupt();
    }
    void Remove(ConsoleHost* host)
    {
        std::lock_guard lock(mutex_);
        hosts_.erase(host);
    }
    void StopAll()
    {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            for (ConsoleHost* host : hosts_)
                host->Interrupt();
        }
        changed_.notify_all();
    }
    bool Stopped()
    {
        std::lock_guard lock(mutex_);
        return stopped_;
    }
    // Waits up to `duration`; true once a stop came.
    bool WaitStop(Clock::duration duration)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, duration, [this] { return stopped_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<ConsoleHost*> hosts_;
    bool stopped_ = false;
};

struct Outcome {
    std::string port;
    JobResult result;
    bool recordLost = false;
};

// One device's session on a thread of its own, with a dispatcher of its own
// so that its waits never hold up the others'.
class DeviceThread {
public:
    DeviceThread(const ManyRunSetup& setup, DeviceTarget target, StopFan& fan)
        : port_(target.port), thread_([this, &setup, target = std::move(target), &fan] { Run(setup, target, fan); })
    {}
    ~DeviceThread()
    {
        if (thread_.joinable())
            thread_.join();
    }
    DeviceThread(const DeviceThread&) = delete;
    DeviceThread& operator=(const DeviceThread&) = delete;

    bool Finished() const { return finished_.load(); }
    Outcome Take()
    {
        thread_.join();
        return std::move(outcome_);
    }
    const std::string& Port() const { return port_; }

private:
    void Run(const ManyRunSetup& setup, const DeviceTarget& target, StopFan& fan)
    {
        const std::string prefix = target.port + ": ";
        outcome_.port = target.port;
        try {
            serial::SyncThreadScope scope;
            JobSetup job;
            job.command = setup.command;
            job.package = setup.package;
            job.port = target.port;
            job.factory = target.factory;
            job.baud = setup.baud;
            job.prefix = prefix;
            job.watchStops = false;
            job.confirmed = true;  // asked once for all of them
            job.readBack = !setup.recordPath.empty();
            job.hostChanged = [&fan, current = static_cast<ConsoleHost*>(nullptr)](ConsoleHost* host) mutable {
                if (current)
                    fan.Remove(current);
                current = host;
                if (current)
                    fan.Add(current);
            };
            const std::string startedAt = RecordTimeNow();
            outcome_.result = RunDeviceJob(job);
            if (!setup.recordPath.empty())
                outcome_.recordLost = !RecordJob(setup.recordPath, outcome_.result, setup.package, startedAt, prefix);
            PrintJobSummary(outcome_.result, prefix);
        } catch (...) {
            PrintProgramError(std::current_exception(), prefix);
            outcome_.result.ok = false;
            outcome_.result.report.stopReason = StopReason::ProgramError;
        }
        finished_ = true;
    }

    std::string port_;
    Outcome outcome_;
    std::atomic<bool> finished_{false};
    std::thread thread_;  // last: it runs on the members above
};

bool FoundNoDevice(const JobResult& result)
{
    return result.report.stopReason == StopReason::NoDevice;
}

std::string ResultWord(const JobResult& result)
{
    if (result.ok)
        return "ok";
    switch (result.report.stopReason) {
    case StopReason::User:
        return "stopped";
    case StopReason::NoDevice:
        return "no device";
    case StopReason::DeviceGone:
        return "device gone";
    case StopReason::ProgramError:
        return "program error";
    default:
        return "failed";
    }
}

std::string Padded(std::string text, std::size_t width)
{
    // Port names are ASCII in practice; a wider one only shifts its own row.
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string Size(long long bytes)
{
    char text[32];
    if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    else
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024.0);
    return text;
}

void PrintTable(const std::vector<Outcome>& outcomes)
{
    std::size_t portWidth = 4;
    for (const auto& o : outcomes)
        portWidth = std::max(portWidth, o.port.size());
    PrintNote(Padded("PORT", portWidth) + "  " + Padded("RESULT", 13) + "  " + Padded("STEP", 13) + "  " +
              Padded("TIME", 9) + "  SENT");
    for (const auto& o : outcomes) {
        std::string step = o.result.report.failedStep.value_or("-");
        if (o.result.report.failedBlock)
            step += " #" + std::to_string(*o.result.report.failedBlock);
        PrintNote(Padded(o.port, portWidth) + "  " + Padded(ResultWord(o.result), 13) + "  " + Padded(step, 13) + "  " +
                  Padded(Seconds(o.result.report.seconds), 9) + "  " + Size(o.result.report.bytesSent) +
                  (o.recordLost ? "  (record not kept)" : ""));
    }
}

// Asks once for all devices; true for a yes.
bool ConfirmOnce(const ManyRunSetup& setup, std::size_t devices, bool waitsForPorts)
{
    if (setup.confirmed || setup.command != Command::Update)
        return true;
    if (waitsForPorts)
        PrintNote("each device that is plugged in from now on will be updated");
    else
        PrintNote("the update goes to " + std::to_string(devices) + " devices at once");
    PrintDialogText("Вы уверены, что хотите обновить ТЕЛВИКС?");
    std::fputs("[y/N] ", stderr);
    std::fflush(stderr);
    platform::StopWatcher asking([] {});
    std::string answer;
    const auto result = asking.ReadLine(answer, kMaxAnswer);
    if (result != platform::StopWatcher::LineResult::Line) {
        std::fputs("\n", stderr);
        return false;
    }
    return answer == "y" || answer == "Y" || answer == "yes" || answer == "да" || answer == "Да";
}

int ExitStatus(const ManyRunSetup& setup, const std::vector<Outcome>& outcomes)
{
    bool anyDevice = false;
    for (const auto& o : outcomes) {
        if (setup.portsWithoutDevice && FoundNoDevice(o.result))
            continue;
        anyDevice = true;
        if (!o.result.ok || o.recordLost)
            return 1;
    }
    return anyDevice ? 0 : 1;
}

}  // namespace

int RunOnManyDevices(const ManyRunSetup& setup, const std::vector<DeviceTarget>& targets)
{
    if (!ConfirmOnce(setup, targets.size(), false))
        return 1;
    StopFan fan;
    std::vector<Outcome> outcomes;
    {
        platform::StopWatcher stops([&fan] { fan.StopAll(); });
        std::list<DeviceThread> threads;
        for (const auto& target : targets)
            threads.emplace_back(setup, target, fan);
        for (auto& thread : threads)
            outcomes.push_back(thread.Take());
    }
    PrintTable(outcomes);
    return ExitStatus(setup, outcomes);
}

int WatchForDevices(const ManyRunSetup& setup, const PortLister& listPorts)
{
    if (!ConfirmOnce(setup, 0, true))
        return 1;
    StopFan fan;
    platform::StopWatcher stops([&fan] { fan.StopAll(); });
    std::set<std::string> present;
    {
        std::string names;
        for (const auto& target : listPorts()) {
            present.insert(target.port);
            names += (names.empty() ? "" : ", ") + target.port;
        }
        PrintNote("waiting for devices; ports present now are left alone" + (names.empty() ? "" : ": " + names));
    }
    std::list<DeviceThread> running;
    std::vector<Outcome> outcomes;
    auto reap = [&](bool all) {
        for (auto it = running.begin(); it != running.end();) {
            if (all || it->Finished()) {
                outcomes.push_back(it->Take());
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    };
    while (!fan.Stopped()) {
        const auto now = listPorts();
        std::set<std::string> listed;
        for (const auto& target : now)
            listed.insert(target.port);
        // A port that went away may bring a new device when it comes back;
        // one whose session still runs is forgotten once that ends.
        for (auto it = present.begin(); it != present.end();) {
            const bool busy = std::any_of(running.begin(), running.end(),
                                          [&](const DeviceThread& t) { return t.Port() == *it && !t.Finished(); });
            it = listed.count(*it) || busy ? std::next(it) : present.erase(it);
        }
        for (const auto& target : now) {
            if (present.count(target.port))
                continue;
            present.insert(target.port);
            PrintNote(target.port + ": new port, updating the device");
            running.emplace_back(setup, target, fan);
        }
        reap(false);
        fan.WaitStop(kWatchPoll);
    }
    reap(true);
    if (!outcomes.empty())
        PrintTable(outcomes);
    // A new port where no device answered (another kind of adapter) is no failure.
    for (const auto& o : outcomes)
        if ((!o.result.ok && !FoundNoDevice(o.result)) || o.recordLost)
            return 1;
    return 0;
}

}  // namespace kt::cli
