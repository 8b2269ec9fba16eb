// The information readout: the device's identity, versions, clock and ID.
#include "device/DeviceSession.h"

#include "link/Protocol.h"
#include "package/Cp1251.h"

#include <optional>
#include <string>
#include <utility>

namespace kt {

bool DeviceSession::ReadDeviceInfo()
{
    return ReadDevice(Report.before.emplace(), true);
}

bool DeviceSession::ReadDeviceStateQuietly()
{
    return ReadDevice(Report.after.emplace(), false);
}

bool DeviceSession::ReadDevice(DeviceState& state, bool log)
{
    auto addLog = [&](const std::string& line) {
        if (log)
            host_.AddLog(line);
    };
    auto stopped = [&] { return log ? ReportStop() : StopRequested(); };
    addLog("Считываю информацию о контроллере...");
    if (!SendCommand("n", kWholeReply)) {
        if (!stopped())
            addLog(std::string(kReadoutFailedLine));
        return false;
    }
    if (RxText == kLoaderIdentity) {
        state.mode = "loader";
        addLog("   ТЕЛВИКС в режиме загрузчика!");
        addLog("   Дополнительная информация недоступна.");
        return true;
    }
    state.mode = RxText == kFlasherIdentity ? "flasher" : "unknown";
    // A query that gets no answer only leaves its line out; a stop, a program
    // error or a device that has gone ends the readout.
    auto broken = [&] {
        if (stopped())
            return true;
        if (Aborted || Comm1.HungUp()) {
            addLog(std::string(kReadoutFailedLine));
            return true;
        }
        return false;
    };
    // Text replies, shown as they arrive.
    struct TextQuery {
        const char* command;
        const char* heading;
        std::optional<std::string> DeviceState::*field;
    };
    static constexpr TextQuery kTextQueries[] = {{"v", "   Версия программного обеспечения: ", &DeviceState::software},
                                                 {"d", "   Дата создания: ", &DeviceState::date},
                                                 {"h", "   Версия железа: ", &DeviceState::hardware}};
    for (const auto& query : kTextQueries) {
        if (broken())
            return false;
        if (SendCommand(query.command, kWholeReply)) {
            state.*query.field = Cp1251ToUtf8(RxText);
            addLog(query.heading + *(state.*query.field));
        }
    }
    if (broken())
        return false;
    Bytes bytes;
    if (SendCommand("t", kClockReplyLength) && HexToBytes(RxText, bytes)) {
        state.clock = FormatDeviceDate(bytes) + " " + FormatDeviceTime(bytes);
        addLog("   Показания часов: " + *state.clock);
    }
    if (broken())
        return false;
    if (SendCommand("s", kIdentityReplyLength) && HexToBytes(RxText, bytes) && FrameChecksum(bytes) == 0) {
        const std::string identity(bytes.begin(), bytes.begin() + kIdentityLength);
        state.identity = Cp1251ToUtf8(identity);
        addLog("   DRAXO ID: " + *state.identity);
    }
    return !broken();
}

}  // namespace kt
