#include "cli/CliOptions.h"

#include "shell/CommandLine.h"

#include <limits>
#include <string_view>

namespace kt::cli {

const char* const kUsage =
    "usage: kt-flash-cli [OPTIONS] open PACKAGE     open and check a package\n"
    "       kt-flash-cli [OPTIONS] info             read the device information\n"
    "       kt-flash-cli [OPTIONS] time             set the device clock\n"
    "       kt-flash-cli [OPTIONS] update PACKAGE   open the package, then the whole update\n"
    "       kt-flash-cli [OPTIONS] ports            list the serial ports in probe order\n"
    "       kt-flash-cli [OPTIONS] watch PACKAGE    update each device as it is plugged in, until stopped\n"
    "options:\n"
    "  -p, --port NAME      probe only this port (for example /dev/ttyUSB0, a name from\n"
    "                       /dev/serial/by-id/ or a USB serial number); give it again\n"
    "                       for several devices at once\n"
    "      --all-ports      one device on each of the system's ports, all at once\n"
    "  -b, --baud N         line speed (default 1000000, or BOAD from the settings)\n"
    "  -y, --yes            confirm the update without asking\n"
    "      --record FILE    append one JSON line per device operation to FILE\n"
    "      --settings FILE  settings file to use instead of the one beside the executable\n"
    "      --simulate [N]   use N built-in simulated devices (default 1) instead of serial ports\n"
    "  -h, --help           show this text\n"
    "  -V, --version        show the program's version\n"
    "With several devices each output line starts with its port, and a table\n"
    "on standard error closes the run.\n"
    "exit status: 0 success (every device), 1 the operation failed or was stopped,\n"
    "2 usage error\n"
    "A serial port that cannot be opened for lack of permission usually means\n"
    "that the user is not in the group 'dialout' (sudo usermod -aG dialout $USER).\n";

const char* const kVersion = "kt-flash-cli " KT_VERSION "\n";

namespace {

struct CommandName {
    std::string_view name;
    Command command;
    bool takesPackage;
};

constexpr CommandName kCommands[] = {
    {"open", Command::Open, true},     {"info", Command::Info, false},   {"time", Command::Time, false},
    {"update", Command::Update, true}, {"ports", Command::Ports, false}, {"watch", Command::Watch, true},
};

constexpr NumberRule kDeviceCountRule{1, kMaxDevices};

// "--simulate" takes an optional count: "--simulate=N", or "--simulate N" when
// N is a number; alone it stands for one device.
std::vector<std::string> SpellOutSimulate(const std::vector<std::string>& args)
{
    std::vector<std::string> out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            out.insert(out.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        if (args[i] != "--simulate") {
            out.push_back(args[i]);
            continue;
        }
        const bool counted = i + 1 < args.size() && !args[i + 1].empty() &&
                             args[i + 1].find_first_not_of("0123456789") == std::string::npos;
        out.push_back("--simulate=" + (counted ? args[++i] : std::string("1")));
    }
    return out;
}

// Any line speed the port may be asked for; the driver refuses what it cannot do.
constexpr NumberRule kBaudRule{1, std::numeric_limits<int>::max()};

ParseResult Fail(std::string message)
{
    return ParseResult{std::nullopt, std::move(message)};
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    CliOptions options;
    bool help = false;
    bool version = false;
    auto port = [&](std::string_view v) {
        options.ports.emplace_back(v);
        return !v.empty();
    };
    auto baud = [&](long long n) { options.baud = static_cast<int>(n); };
    const std::vector<CommandOption> table = {
        HelpOption("--help", help),
        HelpOption("-h", help),
        HelpOption("--version", version),
        HelpOption("-V", version),
        FlagOption("--yes", options.yes),
        FlagOption("-y", options.yes),
        FlagOption("--all-ports", options.allPorts),
        NumberOption("--simulate", kDeviceCountRule, options.simulate),
        ValueOption("--port", "a port name", port),
        ValueOption("-p", "a port name", port),
        ValueOption("--settings", "a file name",
                    [&](std::string_view v) {
                        options.settings = std::string(v);
                        return !v.empty();
                    }),
        ValueOption("--record", "a file name",
                    [&](std::string_view v) {
                        options.record = std::string(v);
                        return !v.empty();
                    }),
        NumberOption("--baud", kBaudRule, baud),
        NumberOption("-b", kBaudRule, baud),
    };
    const ParsedArguments parsed = ParseArguments(SpellOutSimulate(args), table);
    if (!parsed.Ok())
        return Fail(parsed.error);
    if (help)
        return ParseResult{CliOptions{}, {}};
    if (version) {
        options.command = Command::Version;
        return ParseResult{options, {}};
    }

    const std::vector<std::string>& words = parsed.positional;
    if (words.empty())
        return Fail("no command given");
    for (const auto& c : kCommands) {
        if (words[0] != c.name)
            continue;
        options.command = c.command;
        const std::size_t wanted = c.takesPackage ? 2 : 1;
        if (words.size() < wanted)
            return Fail(std::string(c.name) + " needs a package file");
        if (words.size() > wanted)
            return Fail("unexpected argument " + words[wanted]);
        if (c.takesPackage)
            options.package = words[1];
        const int sources = (options.ports.empty() ? 0 : 1) + (options.allPorts ? 1 : 0) + (options.simulate ? 1 : 0);
        if (sources > 1)
            return Fail("--port, --all-ports and --simulate exclude one another");
        if (options.ports.size() > static_cast<std::size_t>(kMaxDevices))
            return Fail("at most " + std::to_string(kMaxDevices) + " ports at once");
        if (options.ManyDevices() && (c.command == Command::Open || c.command == Command::Ports))
            return Fail(std::string(c.name) + " takes one port at most");
        if (c.command == Command::Watch && !options.ports.empty())
            return Fail("watch takes the ports as they appear; --port does not go with it");
        return ParseResult{options, {}};
    }
    return Fail("unknown command " + words[0]);
}

}  // namespace kt::cli
