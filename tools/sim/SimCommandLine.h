// The command line of kt-device-sim: device options, faults and what to keep at exit.
#pragma once

#include "SimOptions.h"

#include <optional>
#include <string>
#include <vector>

namespace kt::sim {

struct SimProgramOptions {
    SimOptions device;
    std::string link;      // symlink to the pty, made at start and removed at exit
    std::string dumpCore;  // files written at exit; empty: not written
    std::string dumpMedia;
    std::string dumpFrames;   // one received frame per line
    std::string turnarounds;  // the host's turnarounds in microseconds, one a line
    bool help = false;
};

struct SimCommandLine {
    std::optional<SimProgramOptions> options;  // empty: `error` says why
    std::string error;
};

// `args` without the program name. Accepts "--name value" and "--name=value".
SimCommandLine ParseSimCommandLine(const std::vector<std::string>& args);

std::string SimUsage();

}  // namespace kt::sim
