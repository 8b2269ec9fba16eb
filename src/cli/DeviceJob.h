// One device operation of the command line on the calling thread: the port,
// the console host and the session, set up and torn down in order. A single
// device runs one on the main thread; several devices run one each on
// threads of their own.
#pragma once

#include "cli/CliOptions.h"
#include "cli/ConsoleHost.h"
#include "device/OperationReport.h"
#include "package/Package.h"
#include "serial/SerialDevice.h"

#include <functional>
#include <string>
#include <vector>

namespace kt::cli {

struct JobSetup {
    Command command = Command::Info;       // Info, Time or Update
    const KVF_TYPE* package = nullptr;     // the update's, opened already
    std::string port;                      // tried first (the remembered or the named port)
    std::vector<std::string> searchPorts;  // tried after it; empty: no search
    serial::SerialDeviceFactory factory;   // a simulated device's, else the system's ports
    int baud = 1000000;
    std::string prefix;      // starts every output line: "" for a single device
    bool watchStops = true;  // the host takes the stop signals (a single device)
    bool confirmed = false;  // --yes
    bool progress = false;   // the progress line on standard error
    bool readBack = false;   // read the device again after an update, for the record
    // Called on the job's thread once its host exists, and with nullptr
    // before it goes: whoever runs several jobs forwards stops to it.
    std::function<void(ConsoleHost*)> hostChanged;
};

struct JobResult {
    bool ok = false;
    bool interrupted = false;  // the user asked to stop
    OperationReport report;
    std::string portName;  // where the device was, for the settings; empty when not found
};

JobResult RunDeviceJob(const JobSetup& setup);

// Appends the job's record to `path` (JSON Lines); false, told on standard
// error, when it could not be kept. `startedAt` as RecordTimeNow() gave it
// when the job began.
bool RecordJob(const std::string& path, const JobResult& result, const KVF_TYPE* package, const std::string& startedAt,
               std::string_view prefix = {});

// The closing line of one device's operation on standard error.
void PrintJobSummary(const JobResult& result, std::string_view prefix = {});

// Prints an error of the program itself on standard error.
void PrintProgramError(const std::exception_ptr& error, std::string_view prefix = {});

}  // namespace kt::cli
