// kt-flash-cli: the command-line front end. Log lines go to standard output,
// one line each, exactly as the window's log shows them; dialog texts and
// diagnostics go to standard error.
#include "InProcessDevice.h"
#include "cli/CliOptions.h"
#include "cli/ConsoleHost.h"
#include "codec/HexCodec.h"
#include "device/DeviceSession.h"
#include "package/Package.h"
#include "package/Sha256.h"
#include "platform/Console.h"
#include "platform/ExecutablePath.h"
#include "serial/PortList.h"
#include "serial/SpSafeSync.h"
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

void PrintProgramError(const std::exception_ptr& error)
{
    std::fprintf(stderr, "kt-flash-cli: %s\n", serial::ExceptionText(error).c_str());
    std::fflush(stderr);
}

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

// Everything one device command needs, in the order it must be torn down.
struct DeviceRun {
    explicit DeviceRun(const CliOptions& options) : settingsPath(SettingsPath(options))
    {
        ConsoleHost::BlockStopSignals();  // before any thread starts
        ReadSettings(settingsPath, settings);
        if (options.simulate) {
            sim::SimOptions device;
            device.baud = options.baud.value_or(settings.baud);  // the simulated line runs at the real speed
            simulator = std::make_unique<sim::InProcessDevice>(device);
            forcedPort = simulator->PortName();
        } else if (options.port) {
            forcedPort = *options.port;
        }
        // A named port is the only one tried: no scan of the system's ports.
        host = std::make_unique<ConsoleHost>(forcedPort ? std::vector<std::string>{} : serial::GetSerialPortList());
        comm = std::make_unique<serial::TSpComPort>();
        if (simulator)
            comm->SetDeviceFactory(simulator->Factory());
        DeviceSession::ConfigurePort(*comm);
        comm->SetBaudRate(options.baud.value_or(settings.baud));
        session = std::make_unique<DeviceSession>(*comm, *host, package);
        session->PortName = forcedPort.value_or(settings.port);
        host->OnInterrupt([this] { session->Abort(); });
        // Errors of the port's event handlers and worker threads end the
        // running operation and are told on standard error.
        serial::SetSyncExceptionHandler([this](std::exception_ptr error) {
            session->Fault();
            PrintProgramError(error);
        });
    }

    ~DeviceRun()
    {
        serial::SetSyncExceptionHandler(nullptr);
        const std::string port = session->PortName;
        session.reset();
        comm.reset();  // closes the port, should anything have left it open
        host.reset();
        // A simulated device's port is gone after this run. A settings file
        // that cannot be written costs only the remembered port: say so.
        if (!simulator && !WriteSettings(settingsPath, std::nullopt, port))
            std::fprintf(stderr, "kt-flash-cli: cannot write the settings file %s\n", settingsPath.c_str());
    }

    std::string settingsPath;
    CliSettings settings;
    std::optional<std::string> forcedPort;
    std::unique_ptr<sim::InProcessDevice> simulator;
    KVF_TYPE package;
    std::unique_ptr<ConsoleHost> host;
    std::unique_ptr<serial::TSpComPort> comm;
    std::unique_ptr<DeviceSession> session;
};

int RunDeviceCommand(const CliOptions& options)
{
    DeviceRun run(options);
    bool ok = false;
    switch (options.command) {
    case Command::Info:
        ok = run.session->ToolInfoClick();
        break;
    case Command::Time:
        ok = run.session->ToolTimeClick();
        break;
    case Command::Update: {
        ConsoleView view;
        if (!OpenPackage(options.package, run.package, view))
            return kExitFailed;
        if (options.yes)
            run.host->SetConfirmation([] { return ModalResult::Yes; });
        else
            run.host->SetConfirmation([host = run.host.get()] { return host->AskOnTerminal(); });
        if (platform::IsTerminal(platform::StandardStream::Error))
            run.host->ShowProgressOnTerminal();
        ok = run.session->ToolFullFlashClick();
        break;
    }
    default:
        break;
    }
    // A stop ends every operation as a failure, whatever it had done by then.
    return ok && !run.host->Interrupted() ? kExitOk : kExitFailed;
}

int ListPorts(const CliOptions& options)
{
    if (options.port) {
        std::cout << *options.port << '\n';
        return kExitOk;
    }
    CliSettings settings;
    ReadSettings(SettingsPath(options), settings);
    if (!settings.port.empty())
        std::cout << settings.port << '\n';
    for (const auto& port : serial::GetSerialPortList())
        if (port != settings.port)
            std::cout << port << '\n';
    return kExitOk;
}

int RunCommand(const CliOptions& options)
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
        if (!options.yes && !platform::IsTerminal(platform::StandardStream::Input)) {
            std::cerr << "kt-flash-cli: the update needs a confirmation: give --yes, or run it from a terminal\n";
            return kExitUsage;
        }
        return RunDeviceCommand(options);
    case Command::Info:
    case Command::Time:
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
        std::cerr << "kt-flash-cli: " << parsed.error << "\n" << kUsage;
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
