// Finding the device on the system's ports, connecting to it, and the busy
// state that holds the toolbar while an operation runs.
#include "link/DeviceLink.h"

#include "link/FlagScope.h"
#include "link/Protocol.h"
#include "serial/SpComPortCore.h"

namespace kt {
namespace {

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
    try {
        if (Comm1.Active())
            Comm1.Close();
        // A port's name is its device path; it goes to the port unchanged.
        Comm1.SetComPort(name);
        Comm1.Open();
    } catch (const serial::ESpComPortCoreError&) {
        return false;  // no such port, held by another program, or refusing its settings
    } catch (const serial::ESpComPortError&) {
        return false;
    }
    if (PingDevice("PFLASH") && SendCommand("n", kWholeReply) &&
        (RxText == kFlasherIdentity || RxText == kLoaderIdentity)) {
        host_.AddLog("ТЕЛВИКС обнаружен на порту " + name);
        return true;
    }
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
    {
        FlagScope searching(searching_);
        found = FindDevice();
    }
    if (found)
        return true;
    if (ReportStop()) {
        // The search was cut short: the remembered port may well be right.
        host_.AddLog("");
        return false;
    }
    if (!faulted_)
        PortName.clear();
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
