// Several devices at once: one independent session per port, each on a
// thread of its own, with every output line prefixed by its port and a
// table at the end; and `watch`, which updates each device as its port
// appears.
#pragma once

#include "cli/CliOptions.h"
#include "package/Package.h"
#include "serial/SerialDevice.h"

#include <functional>
#include <string>
#include <vector>

namespace kt::cli {

// A port to run a device operation on; a simulated device brings its factory.
struct DeviceTarget {
    std::string port;
    serial::SerialDeviceFactory factory;
};

// What the runs have in common beside the targets.
struct ManyRunSetup {
    Command command = Command::Info;
    const KVF_TYPE* package = nullptr;
    int baud = 1000000;
    bool confirmed = false;
    std::string recordPath;  // empty: no record
    // --all-ports: a port without a device is no failure, only reported.
    bool portsWithoutDevice = false;
};

// Runs the operation on every target at once; the exit status: 0 only when
// every device succeeded.
int RunOnManyDevices(const ManyRunSetup& setup, const std::vector<DeviceTarget>& targets);

// Lists the ports present now; `watch` polls it.
using PortLister = std::function<std::vector<DeviceTarget>()>;

// Updates each device whose port appears after the start, once while it
// stays; runs until a stop signal. The exit status: 0 when no device failed.
int WatchForDevices(const ManyRunSetup& setup, const PortLister& listPorts);

}  // namespace kt::cli
