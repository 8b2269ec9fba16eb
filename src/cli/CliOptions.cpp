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
    "options:\n"
    "  --port NAME      probe only this port (for example /dev/ttyUSB0)\n"
    "  --baud N         line speed (default 1000000, or BOAD from the settings)\n"
    "  --yes            confirm the update without asking\n"
    "  --settings FILE  settings file to use instead of the one beside the executable\n"
    "  --simulate       use a built-in simulated device instead of a serial port\n"
    "  --help           show this text\n"
    "  --version        show the program's version\n"
    "exit status: 0 success, 1 the operation failed, 2 usage error\n"
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
    {"update", Command::Update, true}, {"ports", Command::Ports, false},
};

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
    const std::vector<CommandOption> table = {
        HelpOption("--help", help),
        HelpOption("--version", version),
        HelpOption("-h", help),
        FlagOption("--yes", options.yes),
        FlagOption("--simulate", options.simulate),
        ValueOption("--port", "a port name",
                    [&](std::string_view v) {
                        options.port = std::string(v);
                        return !v.empty();
                    }),
        ValueOption("--settings", "a file name",
                    [&](std::string_view v) {
                        options.settings = std::string(v);
                        return !v.empty();
                    }),
        NumberOption("--baud", kBaudRule, [&](long long n) { options.baud = static_cast<int>(n); }),
    };
    const ParsedArguments parsed = ParseArguments(args, table);
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
        return ParseResult{options, {}};
    }
    return Fail("unknown command " + words[0]);
}

}  // namespace kt::cli
