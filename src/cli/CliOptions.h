// The command line of kt-flash-cli: one command, its argument and the options.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kt::cli {

enum class Command { Open, Info, Time, Update, Ports, Help, Version };

struct CliOptions {
    Command command = Command::Help;
    std::string package;                  // open, update
    std::optional<std::string> port;      // --port: probe only this port
    std::optional<int> baud;              // --baud
    std::optional<std::string> settings;  // --settings: instead of the file beside the executable
    bool yes = false;                     // --yes: the update is confirmed
    bool simulate = false;                // --simulate: a built-in simulated device
};

struct ParseResult {
    std::optional<CliOptions> options;  // empty: a usage error
    std::string error;                  // what was wrong, for standard error
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);

extern const char* const kUsage;
// What --version prints.
extern const char* const kVersion;

}  // namespace kt::cli
