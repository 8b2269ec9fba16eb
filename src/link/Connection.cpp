// Finding the device on the system's ports, connecting to it, and the busy
// state that holds the toolbar while an operation runs.
#include "link/DeviceLink.h"

#include "link/FlagScope.h"
#include "link/Protocol.h"
#include "serial/SpComPortCore.h"

namespace kt {
namespace {

PortOutcome OpenOutcome(serial::PortOpenFailure failure)
{
    switch (failure) {
    case serial::PortOpenFailure::NoSuchDevice:
        return PortOutcome::NoSuchDevice;
    case serial::PortOpenFailure::NoPermission:
        return PortOutcome::NoPermission;
    case serial::PortOpenFailure::Busy:
        return PortOutcome::Busy;
    case serial::PortOpenFailure::NotATerminal:
        return PortOutcome::NotATerminal;
    case serial::PortOpenFailure::None:
    case serial::PortOpenFailure::Other:
        break;
    }
    return PortOutcome::Error;
}

const char* const kNotConnectedLog = "ОШИБКА! ТЕЛВИКС не подключен к компьютеру.";
const char* const kNotConnectedDialog =
    "ОШИБКА! Контроллер не подключен к компьютеру.\rПроверьте кабель, питание и повторите снова.";

}  // namespace

bool DeviceLink::PingDevice(const std::string& command)
{
    for (int i = 0; i < kPingTries && !Aborted; ++i) {
        SendCommand(command, kAckLength);
        if (RxText.size() == 1 && (RxText[0] == kCr || RxText[0] == kEsc))
            return true;
        if (Aborted || Comm1.HungUp())
            break;
        host_.Pause(kPingPause);
    }
    return false;
}

bool DeviceLink::ProbePort(const std::string& name)
{
    ClearAbort();
    PortAttempt attempt;
    attempt.port = name;
    auto tell = [&](PortOutcome outcome, std::string detail) {
        attempt.outcome = outcome;
        attempt.detail = std::move(detail);
        Report.ports.push_back(attempt);
        host_.PortTried(Report.ports.back());
    };
    try {
        if (Comm1.Active())
            Comm1.Close();
        // A port's name is its device path; it goes to the port unchanged.
        Comm1.SetComPort(name);
        Comm1.Open();
    } catch (const serial::ESpComPortCoreError& error) {
        // No such port, no permission, held by another program, or refusing its settings.
        tell(OpenOutcome(error.Failure()), error.Detail().empty() ? error.what() : error.Detail());
        return false;
    } catch (const serial::ESpComPortError& error) {
        tell(PortOutcome::Error, error.what());
        return false;
    }
    const bool answered = PingDevice("PFLASH");
    if (answered && SendCommand("n", kWholeReply) && (RxText == kFlasherIdentity || RxText == kLoaderIdentity)) {
        host_.AddLog("ТЕЛВИКС обнаружен на порту " + name);
        Report.port = name;
        tell(PortOutcome::Found,
             RxText == kLoaderIdentity ? "the device answered, in its loader" : "the device answered");
        return true;
    }
    if (stopRequested_)
        tell(PortOutcome::Stopped, "stopped while trying it");
    else if (Comm1.HungUp())
        tell(PortOutcome::NoSuchDevice, "the device went away");
    else if (!answered)
        tell(PortOutcome::NoAnswer, "no answer: nothing answered the presence probe");
    else
        tell(PortOutcome::OtherDevice, "something answered, but not as the controller does");
    Comm1.Close();
    return false;
}

bool DeviceLink::FindDevice()
{
    if (!PortName.empty() && ProbePort(PortName))
        return true;
    if (Aborted)
        return false;
    for (const auto& port : host_.SystemPorts()) {
        if (port == PortName)
            continue;  // just tried
        if (ProbePort(port)) {
            PortName = port;
            return true;
        }
        if (Aborted)
            return false;  // the user stopped the search
    }
    return false;
}

bool DeviceLink::ConnectDevice()
{
    ClearAbort();
    if (Comm1.Active())
        return true;
    bool found;
    BeginStep("connect");
    {
        FlagScope searching(searching_);
        found = FindDevice();
    }
    EndStep(found);
    if (found)
        return true;
    if (ReportStop()) {
        // The search was cut short: the remembered port may well be right.
        FinishReport(false, StopReason::User);
        host_.AddLog("");
        return false;
    }
    if (!faulted_)
        PortName.clear();
    FinishReport(false, faulted_ ? StopReason::ProgramError : StopReason::NoDevice);
    host_.AddLog(kNotConnectedLog);
    host_.AddLog("");
    host_.ShowDialog(kNotConnectedDialog, DialogKind::Error, DialogButtons::Ok);
    return false;
}

void DeviceLink::DisconnectDevice()
{
    if (!Comm1.Active())
        return;
    SendCommand("X", kNoReply);
    host_.Pause(kDisconnectPause);
    Comm1.Close();
}

void DeviceLink::BeginBusy()
{
    if (Busy)
        return;
    for (int i = 0; i < kToolButtonCount; ++i) {
        const auto button = static_cast<ToolButton>(i);
        tags_[static_cast<std::size_t>(i)] = host_.ToolButtonEnabled(button) ? 1 : 0;
        host_.SetToolButtonEnabled(button, false);
    }
    Busy = true;
}

void DeviceLink::EndBusy()
{
    if (!Busy)
        return;
    for (int i = 0; i < kToolButtonCount; ++i)
        host_.SetToolButtonEnabled(static_cast<ToolButton>(i), tags_[static_cast<std::size_t>(i)] != 0);
    Busy = false;
    DisconnectDevice();
    host_.Progress().SetToMin();
    host_.AddLog("");
}

}  // namespace kt
