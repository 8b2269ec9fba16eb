#include "cli/CliOptions.h"

#include <charconv>
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
    "exit status: 0 success, 1 the operation failed, 2 usage error\n"
    "A serial port that cannot be opened for lack of permission usually means\n"
    "that the user is not in the group 'dialout' (sudo usermod -aG dialout $USER).\n";

namespace {

struct CommandName {
    std::string_view name;
    Command command;
    bool takesPackage;
};

constexpr CommandName kCommands[] = {
    {"open", Command::Open, true},
    {"info", Command::Info, false},
    {"time", Command::Time, false},
    {"update", Command::Update, true},
    {"ports", Command::Ports, false},
};

ParseResult Fail(std::string message)
{
    return ParseResult{std::nullopt, std::move(message)};
}

}  // namespace

ParseResult ParseCommandLine(const std::vector<std::string>& args)
{
    CliOptions options;
    std::vector<std::string> words;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == "--") {  // everything after is a word, even if it starts with --
            words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (!arg.starts_with("--") || arg.size() == 2) {
            if (arg == "-h")
                return ParseResult{CliOptions{}, {}};
            words.emplace_back(arg);
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inlineValue = std::string(arg.substr(eq + 1));
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue)
                return inlineValue;
            if (i + 1 < args.size())
                return args[++i];
            return std::nullopt;
        };
        auto flag = [&](bool& target) {
            if (inlineValue)
                return false;
            target = true;
            return true;
        };
        if (name == "--help") {
            return ParseResult{CliOptions{}, {}};
        } else if (name == "--yes") {
            if (!flag(options.yes))
                return Fail("--yes takes no value");
        } else if (name == "--simulate") {
            if (!flag(options.simulate))
                return Fail("--simulate takes no value");
        } else if (name == "--port") {
            auto v = value();
            if (!v || v->empty())
                return Fail("--port needs a port name");
            options.port = *v;
        } else if (name == "--settings") {
            auto v = value();
            if (!v || v->empty())
                return Fail("--settings needs a file name");
            options.settings = *v;
        } else if (name == "--baud") {
            auto v = value();
            int baud = 0;
            if (!v || std::from_chars(v->data(), v->data() + v->size(), baud).ptr != v->data() + v->size() ||
                v->empty() || baud <= 0)
                return Fail("--baud needs a positive whole number");
            options.baud = baud;
        } else {
            return Fail("unknown option " + std::string(name));
        }
    }

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
