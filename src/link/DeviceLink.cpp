#include "link/DeviceLink.h"

#include "link/Protocol.h"
#include "serial/SpComPortCore.h"
#include "serial/SpSafeSync.h"

#include <algorithm>
#include <utility>

namespace kt {
namespace {

// Commands that change what the device holds or runs; none goes out after a stop.
bool ChangesDevice(const std::string& command)
{
    return !command.empty() && (command == "B" || command[0] == 'W' || command[0] == 'F' || command[0] == 'T');
}

}  // namespace

void DeviceLink::ConfigurePort(serial::TSpComPort& comm)
{
    comm.SetName("Comm1");
    comm.SetBaudRate(kLineBaud);
    comm.SetInBufSize(kInputBufferSize);
    comm.SetWriteThreadPriority(serial::tpHigher);
}

DeviceLink::DeviceLink(serial::TSpComPort& comm, DeviceHost& host) : Comm1(comm), host_(host)
{
    Comm1.OnDataReceived = [this](serial::TSpCustomSerialPort&, int) { Comm1DataReceived(); };
}

DeviceLink::~DeviceLink()
{
    Comm1.OnDataReceived = nullptr;
}

// ---- Command layer ----

bool DeviceLink::SendCommand(const std::string& command, int expected)
{
    FormatFrame(frame_, command);
    return SendFrame(ChangesDevice(command), expected);
}

bool DeviceLink::SendDataCommand(const std::string& command, const std::uint8_t* data, std::size_t count, int expected)
{
    FormatDataFrame(frame_, command, data, count);
    return SendFrame(ChangesDevice(command), expected);
}

bool DeviceLink::SendFrame(bool changesDevice, int expected)
{
    lastWaitSilent_ = false;
    // After a stop or a program error only harmless commands go out.
    if (Aborted && changesDevice)
        return false;
    try {
        Comm1.WriteString(frame_);
    } catch (const serial::ESpComPortError&) {
        // A closed port, or one whose device has gone, refuses the frame: that
        // is the device's failure, told in the caller's words. An open, healthy
        // port that cannot take a frame is the program's own fault.
        if (Comm1.Active() && !Comm1.HungUp())
            ReportProgramError(std::current_exception());
        return false;
    } catch (...) {
        ReportProgramError(std::current_exception());
        return false;
    }
    if (expected < 0)
        return true;
    if (expected == 0)
        return WaitReply(kReplyInterval, expected);
    // Ten bits a character on the device's 8N1 line.
    const auto character = std::chrono::nanoseconds(10'000'000'000LL / std::max(Comm1.BaudRate(), 1));
    const auto due = DeviceHost::Clock::now() +
                     std::chrono::duration_cast<DeviceHost::Clock::duration>(
                         character * static_cast<long long>(frame_.size() + static_cast<std::size_t>(expected)));
    return WaitReplyDue(kReplyInterval, expected, due);
}

void DeviceLink::RestartTimeout()
{
    timeoutDeadline_ = DeviceHost::Clock::now() + std::chrono::milliseconds(timeoutInterval_);
    TimedOut = false;
}

void DeviceLink::TimeOutTimer()
{
    TimedOut = true;
    timeoutDeadline_.reset();
}

void DeviceLink::Comm1DataReceived()
{
    RxText += Comm1.ReadString();
}

bool DeviceLink::WaitReply(int interval, int expected)
{
    return WaitReplyDue(interval, expected, std::nullopt);
}

bool DeviceLink::WaitReplyDue(int interval, int expected, std::optional<DeviceHost::Clock::time_point> due)
{
    RxText.clear();
    timeoutInterval_ = interval;
    RestartTimeout();
    bool result = false;
    for (;;) {
        auto until = timeoutDeadline_.value_or(DeviceHost::Clock::now());
        if (due) {
            const auto now = DeviceHost::Clock::now();
            if (now < *due - kReplySpinLead)
                until = std::min(until, *due - kReplySpinLead);
            else if (now < *due + kReplySpinSpan)
                until = now;  // looks without sleeping
        }
        host_.ProcessEvents(until);
        if (timeoutDeadline_ && DeviceHost::Clock::now() >= *timeoutDeadline_)
            TimeOutTimer();
        if (expected != 0 && RxText.size() == static_cast<std::size_t>(expected)) {
            result = true;
            break;
        }
        if (TimedOut) {
            result = expected == 0 && !RxText.empty();
            lastWaitSilent_ = RxText.empty();
            break;
        }
        if (Aborted)
            break;
        // A device that has gone will not answer: no use waiting out the interval.
        if (Comm1.HungUp())
            break;
    }
    timeoutDeadline_.reset();
    if (RxText.size() == 1 && RxText[0] == kEsc)
        result = false;
    return result;
}

bool DeviceLink::Acknowledged() const
{
    return RxText.size() == 1 && RxText[0] == kCr;
}

void DeviceLink::ReportProgramError(std::exception_ptr error)
{
    Fault();
    serial::ShowSyncException(std::move(error));
}

void DeviceLink::DiscardInput()
{
    if (Comm1.Active())
        Comm1.ReadString();
    RxText.clear();
}

bool DeviceLink::AwaitLateAck()
{
    if (!lastWaitSilent_ || Aborted)
        return false;
    return WaitReply(kLateAckGrace, kAckLength) && Acknowledged();
}

// ---- Stops ----

void DeviceLink::BeginOperation(const char* operation)
{
    stopRequested_ = false;
    stopLogged_ = false;
    faulted_ = false;
    deviceGone_ = false;
    Aborted = false;
    Report = OperationReport{};
    Report.operation = operation;
    operationStart_ = DeviceHost::Clock::now();
}

// ---- The operation's report ----

namespace {

double SecondsSince(DeviceHost::Clock::time_point start)
{
    return std::chrono::duration<double>(DeviceHost::Clock::now() - start).count();
}

}  // namespace

void DeviceLink::BeginStep(const char* name)
{
    StepRecord step;
    step.name = name;
    Report.steps.push_back(std::move(step));
    stepStart_ = DeviceHost::Clock::now();
}

void DeviceLink::EndStep(bool ok)
{
    if (Report.steps.empty())
        return;
    StepRecord& step = Report.steps.back();
    step.seconds = SecondsSince(stepStart_);
    if (Comm1.HungUp())
        deviceGone_ = true;
    if (step.outcome == StepOutcome::Skipped)
        return;
    step.outcome = ok ? StepOutcome::Ok : (stopRequested_ ? StepOutcome::Stopped : StepOutcome::Failed);
}

void DeviceLink::FinishReport(bool ok, StopReason reason)
{
    if (Comm1.Active() && Comm1.HungUp())
        deviceGone_ = true;
    Report.ok = ok;
    if (!ok && reason == StopReason::None) {
        if (stopRequested_)
            reason = StopReason::User;
        else if (faulted_)
            reason = StopReason::ProgramError;
        else if (deviceGone_)
            reason = StopReason::DeviceGone;
        else
            reason = StopReason::Failed;
    }
    Report.stopReason = ok ? StopReason::None : reason;
    if (!ok) {
        // The step that ended the operation: the last one that did not succeed.
        for (auto it = Report.steps.rbegin(); it != Report.steps.rend(); ++it) {
            if (it->outcome == StepOutcome::Failed || it->outcome == StepOutcome::Stopped) {
                Report.failedStep = it->name;
                break;
            }
        }
    }
    Report.seconds = SecondsSince(operationStart_);
}

bool DeviceLink::ReportStop()
{
    if (!stopRequested_)
        return false;
    if (!stopLogged_) {
        stopLogged_ = true;
        host_.AddLog(kStoppedLine);
    }
    return true;
}

void DeviceLink::LogFailure(std::string_view line)
{
    if (!ReportStop())
        host_.AddLog(line);
}

bool DeviceLink::Interrupted()
{
    host_.ProcessEvents(DeviceHost::Clock::now());
    return ReportStop() || Aborted;
}

}  // namespace kt
