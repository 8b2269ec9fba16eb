// The information readout: the device's identity, versions, clock and ID.
#include "device/DeviceSession.h"

#include "link/Protocol.h"
#include "package/Cp1251.h"

#include <utility>

namespace kt {

bool DeviceSession::ReadDeviceInfo()
{
    host_.AddLog("Считываю информацию о контроллере...");
    if (!SendCommand("n", kWholeReply)) {
        LogFailure(kReadoutFailedLine);
        return false;
    }
    if (RxText == kLoaderIdentity) {
        host_.AddLog("   ТЕЛВИКС в режиме загрузчика!");
        host_.AddLog("   Дополнительная информация недоступна.");
        return true;
    }
    // A query that gets no answer only leaves its line out; a stop, a program
    // error or a device that has gone ends the readout.
    auto broken = [this] {
        if (ReportStop())
            return true;
        if (Aborted || Comm1.HungUp()) {
            host_.AddLog(kReadoutFailedLine);
            return true;
        }
        return false;
    };
    // Text replies, shown as they arrive.
    static constexpr std::pair<const char*, const char*> kTextQueries[] = {
        {"v", "   Версия программного обеспечения: "}, {"d", "   Дата создания: "}, {"h", "   Версия железа: "}};
    for (const auto& [command, heading] : kTextQueries) {
        if (broken())
            return false;
        if (SendCommand(command, kWholeReply))
            host_.AddLog(heading + Cp1251ToUtf8(RxText));
    }
    if (broken())
        return false;
    Bytes bytes;
    if (SendCommand("t", kClockReplyLength) && HexToBytes(RxText, bytes))
        host_.AddLog("   Показания часов: " + FormatDeviceDate(bytes) + " " + FormatDeviceTime(bytes));
    if (broken())
        return false;
    if (SendCommand("s", kIdentityReplyLength) && HexToBytes(RxText, bytes) && FrameChecksum(bytes) == 0) {
        const std::string identity(bytes.begin(), bytes.begin() + kIdentityLength);
        host_.AddLog("   DRAXO ID: " + Cp1251ToUtf8(identity));
    }
    return !broken();
}

}  // namespace kt
