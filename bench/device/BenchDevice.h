// What the device benchmarks share: kt-device-sim in a process of its own,
// a host that runs the operations without a window, and this process's CPU time.
#pragma once

#include "gen/PackageWriter.h"
#include "link/DeviceHost.h"
#include "link/Protocol.h"
#include "package/Package.h"
#include "serial/PlainEventLoop.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace kt::bench {

// A host for the device operations with no window: every dialog is answered
// Yes, the log goes nowhere unless a subclass wants it.
class BenchHost : public DeviceHost {
public:
    void AddLog(std::string_view) override {}
    void ClearLog() override {}
    void SetCaption(std::string_view) override {}
    void SetUpdateEnabled(bool) override {}
    ProgressBar& Progress() override { return progress; }
    ModalResult ShowDialog(std::string_view, DialogKind, DialogButtons) override { return ModalResult::Yes; }
    void ProcessEvents(Clock::time_point deadline) override { loop.ProcessEvents(deadline); }
    void Pause(std::chrono::milliseconds d) override { std::this_thread::sleep_for(d); }
    bool ToolButtonEnabled(ToolButton) const override { return true; }
    void SetToolButtonEnabled(ToolButton, bool) override {}
    std::tm LocalTime() override { return ReadLocalClock(); }
    std::vector<std::string> SystemPorts() override { return {}; }

    PlainEventLoop loop;
    ProgressBar progress;
};

// kt-device-sim in a child process, paced at `baud`, with `options` of its
// own; its first output line is the port. It writes its files as it ends.
struct SimProcess {
    pid_t pid = -1;
    std::string port;

    explicit SimProcess(int baud, const std::vector<std::string>& options = {})
    {
        std::vector<std::string> args{KT_DEVICE_SIM, "--baud", std::to_string(baud)};
        args.insert(args.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe(fds) != 0)
            std::exit(1);
        pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            execv(KT_DEVICE_SIM, argv.data());
            _exit(127);
        }
        close(fds[1]);
        char c;
        while (read(fds[0], &c, 1) == 1 && c != '\n')
            port += c;
        close(fds[0]);
    }
    ~SimProcess()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
};

// A package for the simulator's model with patterned images of these sizes.
inline KVF_TYPE PatternPackage(int coreSize, int mediaSize)
{
    KVF_TYPE package;
    package.CORE_SIZE = coreSize;
    package.FLASH_SIZE = mediaSize;
    package.DEVICE = 0x21;
    package.CORE = gen::PatternBytes(static_cast<std::size_t>(coreSize), 1);
    package.FLASH = gen::PatternBytes(static_cast<std::size_t>(mediaSize), 2);
    return package;
}

// The user and system CPU time of this process so far, in seconds.
inline double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace kt::bench
