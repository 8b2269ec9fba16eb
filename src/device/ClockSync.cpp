// Setting the device's clock to the computer's local time.
#include "device/DeviceSession.h"

#include "link/Protocol.h"

namespace kt {

bool DeviceSession::SyncClock()
{
    host_.AddLog("Синхронизация часов ...");
    if (PingDevice("PFLASH") && !Aborted) {
        const auto payload = ClockPayload(host_.LocalTime());
        if (SendDataCommand("T", payload.data(), payload.size(), kAckLength) && Acknowledged()) {
            host_.AddLog("   Часы успешно установлены.");
            return true;
        }
    }
    LogFailure("   ОШИБКА! Проблемы связи с контроллером.");
    return false;
}

}  // namespace kt
