#include "cli/DeviceJob.h"

#include "cli/ProgressLine.h"
#include "device/DeviceSession.h"
#include "serial/SpComPort.h"
#include "serial/SpSafeSync.h"
#include "shell/OperationRecord.h"

#include <cstdio>
#include <memory>

namespace kt::cli {

void PrintProgramError(const std::exception_ptr& error, std::string_view prefix)
{
    PrintNote(std::string(prefix) + serial::ExceptionText(error));
}

JobResult RunDeviceJob(const JobSetup& setup)
{
    static const KVF_TYPE kNoPackage;
    ConsoleHost host(setup.searchPorts, setup.prefix, setup.watchStops);
    if (setup.confirmed)
        host.ConfirmWithoutAsking();
    else
        host.SetConfirmation([&host] { return host.AskOnTerminal(); });
    if (setup.progress)
        host.ShowProgressOnTerminal();
    JobResult result;
    {
        serial::TSpComPort comm;
        if (setup.factory)
            comm.SetDeviceFactory(setup.factory);
        DeviceSession::ConfigurePort(comm);
        comm.SetBaudRate(setup.baud);
        DeviceSession session(comm, host, setup.package ? *setup.package : kNoPackage);
        session.PortName = setup.port;
        session.ReadBackAfterUpdate = setup.readBack;
        host.OnInterrupt([&session] { session.Abort(); });
        // Errors of the port's event handlers and worker threads end the
        // running operation and are told on standard error.
        serial::SetSyncExceptionHandler([&session, prefix = setup.prefix](std::exception_ptr error) {
            session.Fault();
            PrintProgramError(error, prefix);
        });
        // Undone on every way out, also when the operation throws.
        struct Hooked {
            const JobSetup& setup;
            ~Hooked()
            {
                serial::SetSyncExceptionHandler(nullptr);
                if (setup.hostChanged)
                    setup.hostChanged(nullptr);
            }
        } hooked{setup};
        if (setup.hostChanged)
            setup.hostChanged(&host);
        switch (setup.command) {
        case Command::Info:
            result.ok = session.ToolInfoClick();
            break;
        case Command::Time:
            result.ok = session.ToolTimeClick();
            break;
        case Command::Update:
        case Command::Watch:
            result.ok = session.ToolFullFlashClick();
            break;
        default:
            break;
        }
        result.report = session.Report;
        result.portName = session.PortName;
    }  // the session, then the port: closed should anything have left it open
    result.interrupted = host.Interrupted();
    // A stop ends every operation as a failure, whatever it had done by then.
    if (result.interrupted) {
        result.ok = false;
        if (result.report.stopReason == StopReason::None)
            result.report.stopReason = StopReason::User;
        result.report.ok = false;
    }
    return result;
}

bool RecordJob(const std::string& path, const JobResult& result, const KVF_TYPE* package, const std::string& startedAt,
               std::string_view prefix)
{
    std::string error;
    if (AppendOperationRecord(path, result.report, package, startedAt, error))
        return true;
    PrintNote(std::string(prefix) + "the record was not kept: " + path + ": " + error);
    return false;
}

void PrintJobSummary(const JobResult& result, std::string_view prefix)
{
    std::string line =
        FormatSummaryLine(result.report.operation, result.ok, result.report.bytesSent, result.report.seconds);
    // "kt-flash-cli: " stays first; the device's port follows it.
    const std::string_view program = "kt-flash-cli: ";
    if (line.starts_with(program))
        line.erase(0, program.size());
    PrintNote(std::string(prefix) + line);
}

}  // namespace kt::cli
