// kt-flash-cli: the command-line front end. Log lines go to standard output,
// one line each, exactly as the window's log shows them; dialog texts and
// diagnostics go to standard error.
#include "InProcessDevice.h"
#include "cli/CliOptions.h"
#include "cli/ConsoleHost.h"
#include "cli/DeviceJob.h"
#include "cli/ManyDevices.h"
#include "cli/PortsListing.h"
#include "codec/HexCodec.h"
#include "device/DeviceSession.h"
#include "package/Package.h"
#include "package/Sha256.h"
#include "platform/Console.h"
#include "platform/ExecutablePath.h"
#include "serial/PortList.h"
#include "serial/SpSafeSync.h"
#include "platform/RecordFile.h"
#include "shell/OperationRecord.h"
#include "shell/Settings.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace kt;
using namespace kt::cli;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Opening a package prints its log; nothing else of a window is there.
class ConsoleView : public FormView {
public:
    void AddLog(std::string_view line) override { PrintLogLine(line); }
    void ClearLog() override {}
    void SetCaption(std::string_view) override {}
    void SetUpdateEnabled(bool) override {}
    ProgressBar& Progress() override { return progress_; }
    ModalResult ShowDialog(std::string_view message, DialogKind, DialogButtons buttons) override
    {
        PrintDialogText(message);
        return buttons == DialogButtons::Ok ? ModalResult::Ok : ModalResult::No;
    }

private:
    ProgressBar progress_;
};

// What to check of an opened package before it goes to a device, told on
// standard error beside the log: the model it is for, the images' sizes and
// SHA-256, and the core bytes the update leaves out, as it sends whole core blocks only.
void PrintPackageSummary(const KVF_TYPE& package)
{
    std::string text;
    auto line = [&text](const std::string& l) { text += "kt-flash-cli: " + l + "\n"; };
    char model[16];
    std::snprintf(model, sizeof model, "0x%02X", static_cast<unsigned>(package.DEVICE));
    line("target model: DEVICE " + std::to_string(package.DEVICE) + " (" + model + ")");
    auto image = [&line](const char* name, const char* key, std::int32_t size, const Bytes& bytes) {
        if (size <= 0) {
            line(std::string(name) + ": none (" + key + " " + std::to_string(size) + ")");
            return;
        }
        const auto digest = Sha256(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        std::string hex = EncodeHex(digest);
        // Lower case, as sha256sum prints it.
        std::transform(hex.begin(), hex.end(), hex.begin(),
                       [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
        line(std::string(name) + ": " + std::to_string(size) + " bytes, SHA-256 " + hex);
    };
    image("core image", "CORE_SIZE", package.CORE_SIZE, package.CORE);
    image("media image", "FLASH_SIZE", package.FLASH_SIZE, package.FLASH);
    constexpr int kBlock = DeviceSession::kCoreBlockSize;
    if (package.CORE_SIZE > 0 && package.CORE_SIZE % kBlock != 0) {
        const int blocks = package.CORE_SIZE / kBlock;
        line("warning: CORE_SIZE " + std::to_string(package.CORE_SIZE) + " is not a whole number of " +
             std::to_string(kBlock) + "-byte core blocks: the update sends " + std::to_string(blocks) + " blocks (" +
             std::to_string(blocks * kBlock) + " bytes), the last " + std::to_string(package.CORE_SIZE % kBlock) +
             " bytes of the core image are not sent");
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

// The settings the command line uses: the speed and the remembered port.
class CliSettings : public SettingsTarget {
public:
    WindowBounds Bounds() const override { return {}; }
    void SetBounds(const WindowBounds&) override {}
    int Baud() const override { return baud; }
    void SetBaud(int value) override { baud = value; }
    void SetPortName(const std::string& value) override { port = value; }
    void SetOpenDialog(const std::string&, const std::string&) override {}
    std::string ExecutableFolder() const override { return {}; }

    int baud = 1000000;
    std::string port;
};

std::string SettingsPath(const CliOptions& options)
{
    if (options.settings)
        return *options.settings;
    return DefaultSettingsPath(platform::ExecutablePath().value_or("kt-flash-cli"));
}

// Simulated devices for --simulate N: one keeps the plain name, several are numbered.
std::vector<std::unique_ptr<sim::InProcessDevice>> MakeSimulators(int count, int baud)
{
    std::vector<std::unique_ptr<sim::InProcessDevice>> devices;
    sim::SimOptions device;
    device.baud = baud;  // the simulated line runs at the real speed
    for (int i = 1; i <= count; ++i) {
        const std::string name = count == 1 ? std::string(sim::InProcessDevice::kPortName)
                                            : sim::InProcessDevice::kPortName + std::to_string(i);
        devices.push_back(std::make_unique<sim::InProcessDevice>(device, name));
    }
    return devices;
}

int RunOnSeveral(const CliOptions& options, const KVF_TYPE& package, int baud)
{
    ManyRunSetup setup;
    setup.command = options.command;
    setup.package = &package;
    setup.baud = baud;
    setup.confirmed = options.yes;
    setup.recordPath = options.record.value_or("");
    setup.portsWithoutDevice = options.allPorts;
    const auto simulators = MakeSimulators(options.simulate, baud);
    if (options.command == Command::Watch) {
        if (!simulators.empty()) {
            // Simulated devices are plugged in one after another, a second apart.
            const auto start = std::chrono::steady_clock::now();
            return WatchForDevices(setup, [&] {
                const auto since = std::chrono::steady_clock::now() - start;
                const auto plugged =
                    std::min<std::size_t>(simulators.size(), static_cast<std::size_t>(since / std::chrono::seconds(1)));
                std::vector<DeviceTarget> targets;
                for (std::size_t i = 0; i < plugged; ++i)
                    targets.push_back({simulators[i]->PortName(), simulators[i]->Factory()});
                return targets;
            });
        }
        return WatchForDevices(setup, [] {
            std::vector<DeviceTarget> targets;
            for (const auto& port : serial::GetSerialPortList())
                targets.push_back({port, nullptr});
            return targets;
        });
    }
    std::vector<DeviceTarget> targets;
    for (const auto& device : simulators)
        targets.push_back({device->PortName(), device->Factory()});
    for (const auto& port : options.ports)
        targets.push_back({port, nullptr});
    if (options.allPorts) {
        for (const auto& port : serial::GetSerialPortList())
            targets.push_back({port, nullptr});
        if (targets.empty()) {
            PrintNote("the system has no serial ports");
            return kExitFailed;
        }
    }
    return RunOnManyDevices(setup, targets);
}

int RunDeviceCommand(const CliOptions& options)
{
    ConsoleHost::BlockStopSignals();  // before any thread starts
    // A record that cannot be kept is known before anything goes to a device.
    if (options.record) {
        std::string error;
        if (!platform::CheckAppendable(*options.record, error)) {
            PrintNote("cannot keep records in " + *options.record + ": " + error);
            return kExitFailed;
        }
    }
    const std::string settingsPath = SettingsPath(options);
    CliSettings settings;
    ReadSettings(settingsPath, settings);
    const int baud = options.baud.value_or(settings.baud);
    KVF_TYPE package;
    if (options.command == Command::Update || options.command == Command::Watch) {
        ConsoleView view;
        if (!OpenPackage(options.package, package, view))
            return kExitFailed;
    }
    if (options.ManyDevices() || options.command == Command::Watch)
        return RunOnSeveral(options, package, baud);

    const auto simulators = MakeSimulators(options.simulate, baud);
    JobSetup job;
    job.command = options.command;
    job.package = &package;
    job.baud = baud;
    job.confirmed = options.yes;
    job.readBack = options.record.has_value();
    job.progress = options.command == Command::Update && platform::IsTerminal(platform::StandardStream::Error);
    if (!simulators.empty()) {
        job.port = simulators.front()->PortName();
        job.factory = simulators.front()->Factory();
    } else if (!options.ports.empty()) {
        // A named port is the only one tried: no scan of the system's ports.
        job.port = options.ports.front();
    } else {
        job.port = settings.port;
        job.searchPorts = serial::GetSerialPortList();
    }
    const std::string startedAt = RecordTimeNow();
    const JobResult result = RunDeviceJob(job);
    const bool recorded = !options.record || RecordJob(*options.record, result, &package, startedAt);
    PrintJobSummary(result);
    // A simulated device's port is gone after this run. A settings file
    // that cannot be written costs only the remembered port: say so.
    if (simulators.empty() && !WriteSettings(settingsPath, std::nullopt, result.portName))
        PrintNote("cannot write the settings file " + settingsPath);
    return result.ok && recorded ? kExitOk : kExitFailed;
}

int ListPorts(const CliOptions& options)
{
    if (!options.ports.empty()) {
        std::cout << options.ports.front() << '\n';
        return kExitOk;
    }
    CliSettings settings;
    ReadSettings(SettingsPath(options), settings);
    PrintPortListing(std::cout, std::cerr, serial::DescribeSerialPorts(), settings.port);
    return kExitOk;
}

// A port may be named by its path, its /dev/serial/by-id/ name or its USB
// serial number; what is opened (and logged) is the path. False, told on
// standard error, for a serial number that more than one port has.
bool ResolvePorts(CliOptions& options)
{
    for (auto& port : options.ports) {
        const auto resolved = serial::ResolvePortName(port);
        if (!resolved.name) {
            PrintNote(resolved.error);
            return false;
        }
        port = *resolved.name;
    }
    return true;
}

int RunCommand(CliOptions options)
{
    switch (options.command) {
    case Command::Help:
        std::cout << kUsage;
        return kExitOk;
    case Command::Version:
        std::cout << kVersion;
        return kExitOk;
    case Command::Open: {
        ConsoleView view;
        KVF_TYPE package;
        if (!OpenPackage(options.package, package, view))
            return kExitFailed;
        std::fflush(stdout);  // the log first where both streams go to one place
        PrintPackageSummary(package);
        return kExitOk;
    }
    case Command::Ports:
        return ListPorts(options);
    case Command::Update:
    case Command::Watch:
        if (!options.yes && !platform::IsTerminal(platform::StandardStream::Input)) {
            std::cerr << "kt-flash-cli: the update needs a confirmation: give --yes, or run it from a terminal\n";
            return kExitUsage;
        }
        [[fallthrough]];
    case Command::Info:
    case Command::Time:
        if (!ResolvePorts(options))
            return kExitUsage;
        return RunDeviceCommand(options);
    }
    return kExitFailed;
}

}  // namespace

int main(int argc, char** argv)
{
    // A reader of the output that goes away must not end an update half way:
    // writes then fail, and the exit status tells it.
    platform::IgnoreBrokenPipe();
    platform::UseUtf8Console();
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseCommandLine(args);
    if (!parsed.options) {
        std::cerr << "kt-flash-cli: " << parsed.error << " (see --help)\n";
        return kExitUsage;
    }
    const CliOptions& options = *parsed.options;
    int status = kExitFailed;
    try {
        status = RunCommand(options);
    } catch (...) {
        PrintProgramError(std::current_exception());
        status = kExitFailed;
    }
    std::cout.flush();
    if (std::fflush(stdout) != 0 || LogOutputFailed() || !std::cout)
        return status == kExitUsage ? status : kExitFailed;
    return status;
}
