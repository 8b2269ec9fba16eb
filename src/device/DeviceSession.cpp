#include "device/DeviceSession.h"

namespace kt {

DeviceSession::DeviceSession(serial::TSpComPort& comm, DeviceHost& host, const KVF_TYPE& package)
    : DeviceLink(comm, host), Package(package)
{}

bool DeviceSession::ToolFullFlashClick()
{
    if (InOperation())
        return false;
    BeginOperation();
    if (host_.ShowDialog("Вы уверены, что хотите обновить ТЕЛВИКС?", DialogKind::Confirmation, DialogButtons::YesNo) !=
        ModalResult::Yes)
        return false;
    host_.AddLog("ОБНОВЛЕНИЕ начато, ожидайте...");
    if (!ConnectDevice())
        return false;
    BeginBusy();
    bool ok = false;
    try {
        // The readout's own result does not matter, but a stop during it ends
        // the update before anything changes the device.
        ReadDeviceInfo();
        ok = !Interrupted() && UpdateCore();
        if (ok) {
            host_.Pause(kStepPause);
            ok = !Interrupted() && UpdateMedia();
        }
        if (ok) {
            host_.Pause(kStepPause);
            ok = !Interrupted() && SyncClock();
        }
        ok = ok && !Interrupted();
    } catch (...) {
        ReportProgramError(std::current_exception());
        ok = false;
    }
    if (ok) {
        host_.AddLog("ОБНОВЛЕНИЕ завершено успешно!");
        EndBusy();
        host_.ShowDialog("ТЕЛВИКС готов к работе!", DialogKind::Information, DialogButtons::Ok);
        return true;
    }
    EndBusy();
    host_.AddLog("Обновление завершено с ошибками!");
    host_.AddLog("");
    host_.ShowDialog(
        "Обновление завершено с ошибками!\rРабота ТЕЛВИКСа будет неправильной.\rПовторите процесс обновления заново!",
        DialogKind::Error, DialogButtons::Ok);
    return false;
}

bool DeviceSession::RunBusy(bool (DeviceSession::*operation)())
{
    if (InOperation())
        return false;
    BeginOperation();
    if (!ConnectDevice())
        return false;
    BeginBusy();
    bool ok = false;
    try {
        ok = (this->*operation)();
    } catch (...) {
        ReportProgramError(std::current_exception());
    }
    // The busy state ends on every way out: toolbar back, "X" sent, port closed.
    EndBusy();
    return ok && !Aborted;
}

bool DeviceSession::ToolInfoClick()
{
    return RunBusy(&DeviceSession::ReadDeviceInfo);
}

bool DeviceSession::ToolTimeClick()
{
    return RunBusy(&DeviceSession::SyncClock);
}

}  // namespace kt
