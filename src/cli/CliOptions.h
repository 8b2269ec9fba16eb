// The command line of kt-flash-cli: one command, its argument and the options.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kt::cli {

enum class Command { Open, Info, Time, Update, Ports, Watch, Help, Version };

struct CliOptions {
    Command command = Command::Help;
    std::string package;                  // open, update, watch
    std::vector<std::string> ports;       // --port, once or more: probe only these ports, one device each
    bool allPorts = false;                // --all-ports: one device on each of the system's ports
    std::optional<int> baud;              // --baud
    std::optional<std::string> settings;  // --settings: instead of the file beside the executable
    std::optional<std::string> record;    // --record: append one JSON line per device operation
    bool yes = false;                     // --yes: the update is confirmed
    int simulate = 0;                     // --simulate [N]: N built-in simulated devices

    // Several devices at once, one session each.
    bool ManyDevices() const { return ports.size() > 1 || allPorts || simulate > 1; }
};

// The most devices one run serves at once.
inline constexpr int kMaxDevices = 64;

struct ParseResult {
    std::optional<CliOptions> options;  // empty: a usage error
    std::string error;                  // what was wrong, for standard error
};

ParseResult ParseCommandLine(const std::vector<std::string>& args);

extern const char* const kUsage;
// What --version prints.
extern const char* const kVersion;

}  // namespace kt::cli
