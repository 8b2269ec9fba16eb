#include "device/DeviceSession.h"

namespace kt {

DeviceSession::DeviceSession(serial::TSpComPort& comm, DeviceHost& host, const KVF_TYPE& package)
    : DeviceLink(comm, host), Package(package)
{}

bool DeviceSession::ToolFullFlashClick()
{
    if (InOperation())
        return false;
    BeginOperation("update");
    if (host_.ShowDialog("Вы уверены, что хотите обновить ТЕЛВИКС?", DialogKind::Confirmation, DialogButtons::YesNo) !=
        ModalResult::Yes) {
        FinishReport(false, StopReason::NotConfirmed);
        return false;
    }
    host_.AddLog("ОБНОВЛЕНИЕ начато, ожидайте...");
    if (!ConnectDevice())
        return false;
    BeginBusy();
    bool ok = false;
    try {
        // The readout's own result does not matter, but a stop during it ends
        // the update before anything changes the device.
        RunStep("readout", &DeviceSession::ReadDeviceInfo);
        ok = !Interrupted() && RunStep("core", &DeviceSession::UpdateCore);
        if (ok) {
            host_.Pause(kStepPause);
            ok = !Interrupted() && RunStep("media", &DeviceSession::UpdateMedia);
        }
        if (ok) {
            host_.Pause(kStepPause);
            ok = !Interrupted() && RunStep("clock", &DeviceSession::SyncClock);
        }
        ok = ok && !Interrupted();
        // The device as the update left it, for the record; nothing in the log.
        if (ok && ReadBackAfterUpdate)
            RunStep("readout_after", &DeviceSession::ReadDeviceStateQuietly);
    } catch (...) {
        ReportProgramError(std::current_exception());
        ok = false;
    }
    FinishReport(ok);
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

bool DeviceSession::RunStep(const char* name, bool (DeviceSession::*step)())
{
    BeginStep(name);
    bool ok = false;
    try {
        ok = (this->*step)();
    } catch (...) {
        EndStep(false);
        throw;
    }
    EndStep(ok);
    return ok;
}

bool DeviceSession::RunBusy(const char* operation, const char* stepName, bool (DeviceSession::*step)())
{
    if (InOperation())
        return false;
    BeginOperation(operation);
    if (!ConnectDevice())
        return false;
    BeginBusy();
    bool ok = false;
    try {
        ok = RunStep(stepName, step);
    } catch (...) {
        ReportProgramError(std::current_exception());
    }
    ok = ok && !Aborted;
    FinishReport(ok);
    // The busy state ends on every way out: toolbar back, "X" sent, port closed.
    EndBusy();
    return ok;
}

bool DeviceSession::ToolInfoClick()
{
    return RunBusy("info", "readout", &DeviceSession::ReadDeviceInfo);
}

bool DeviceSession::ToolTimeClick()
{
    return RunBusy("time", "clock", &DeviceSession::SyncClock);
}

}  // namespace kt
