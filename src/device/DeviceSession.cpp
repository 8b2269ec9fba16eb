#include "device/DeviceSession.h"

#include "device/Protocol.h"
#include "package/Cp1251.h"

#include "serial/SpComPortCore.h"
#include "serial/SpSafeSync.h"

#include <algorithm>
#include <utility>

namespace kt {
namespace {

const char* const kNotConnectedLog = "ОШИБКА! ТЕЛВИКС не подключен к компьютеру.";
const char* const kNotConnectedDialog =
    "ОШИБКА! Контроллер не подключен к компьютеру.\rПроверьте кабель, питание и повторите снова.";
const char* const kStoppedLog = "Прервано пользователем!";
const char* const kReadoutFailedLog = "   ОШИБКА при работе с контроллером!";

// Commands that change what the device holds or runs; none goes out after a stop.
bool ChangesDevice(const std::string& command)
{
    return !command.empty() && (command == "B" || command[0] == 'W' || command[0] == 'F' || command[0] == 'T');
}

// Clears a flag when the scope ends, however it ends.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

}  // namespace

void DeviceSession::ConfigurePort(serial::TSpComPort& comm)
{
    comm.SetName("Comm1");
    comm.SetBaudRate(1000000);
    comm.SetInBufSize(2048);
    comm.SetWriteThreadPriority(serial::tpHigher);
}

DeviceSession::DeviceSession(serial::TSpComPort& comm, DeviceHost& host, const KVF_TYPE& package)
    : Comm1(comm), host_(host), Package(package)
{
    Comm1.OnDataReceived = [this](serial::TSpCustomSerialPort&, int) { Comm1DataReceived(); };
}

DeviceSession::~DeviceSession()
{
    Comm1.OnDataReceived = nullptr;
}

// ---- Command layer ----

bool DeviceSession::SendCommand(const std::string& command, int expected)
{
    lastWaitSilent_ = false;
    // After a stop or a program error only harmless commands go out.
    if (Aborted && ChangesDevice(command))
        return false;
    try {
        Comm1.WriteString(Frame(command));
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
    return WaitReply(kReplyInterval, expected);
}

bool DeviceSession::SendDataCommand(const std::string& command, const std::uint8_t* data, std::size_t count,
                                    int expected)
{
    return SendCommand(DataCommandText(command, data, count), expected);
}

void DeviceSession::RestartTimeout()
{
    timeoutDeadline_ = DeviceHost::Clock::now() + std::chrono::milliseconds(timeoutInterval_);
    TimedOut = false;
}

void DeviceSession::TimeOutTimer()
{
    TimedOut = true;
    timeoutDeadline_.reset();
}

void DeviceSession::Comm1DataReceived()
{
    RxText += Comm1.ReadString();
}

bool DeviceSession::WaitReply(int interval, int expected)
{
    RxText.clear();
    timeoutInterval_ = interval;
    RestartTimeout();
    bool result = false;
    for (;;) {
        host_.ProcessEvents(timeoutDeadline_.value_or(DeviceHost::Clock::now()));
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

bool DeviceSession::Acknowledged() const
{
    return RxText.size() == 1 && RxText[0] == kCr;
}

void DeviceSession::ReportProgramError(std::exception_ptr error)
{
    Fault();
    serial::ShowSyncException(std::move(error));
}

void DeviceSession::DiscardInput()
{
    if (Comm1.Active())
        Comm1.ReadString();
    RxText.clear();
}

bool DeviceSession::AwaitLateAck()
{
    if (!lastWaitSilent_ || Aborted)
        return false;
    return WaitReply(kLateAckGrace, 1) && Acknowledged();
}

// ---- Stops ----

void DeviceSession::BeginOperation()
{
    stopRequested_ = false;
    stopLogged_ = false;
    faulted_ = false;
    Aborted = false;
}

bool DeviceSession::ReportStop()
{
    if (!stopRequested_)
        return false;
    if (!stopLogged_) {
        stopLogged_ = true;
        host_.AddLog(kStoppedLog);
    }
    return true;
}

void DeviceSession::LogFailure(std::string_view line)
{
    if (!ReportStop())
        host_.AddLog(line);
}

bool DeviceSession::Interrupted()
{
    host_.ProcessEvents(DeviceHost::Clock::now());
    return ReportStop() || Aborted;
}

// ---- Discovery and connection ----

bool DeviceSession::PingDevice(const std::string& command)
{
    for (int i = 0; i < kPingTries && !Aborted; ++i) {
        SendCommand(command, 1);
        if (RxText.size() == 1 && (RxText[0] == kCr || RxText[0] == kEsc))
            return true;
        if (Aborted || Comm1.HungUp())
            break;
        host_.Pause(kPingPause);
    }
    return false;
}

bool DeviceSession::ProbePort(const std::string& name)
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
    if (PingDevice("PFLASH") && SendCommand("n", 0) && (RxText == kFlasherIdentity || RxText == kLoaderIdentity)) {
        host_.AddLog("ТЕЛВИКС обнаружен на порту " + name);
        return true;
    }
    Comm1.Close();
    return false;
}

bool DeviceSession::FindDevice()
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

bool DeviceSession::ConnectDevice()
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

void DeviceSession::DisconnectDevice()
{
    if (!Comm1.Active())
        return;
    SendCommand("X", -1);
    host_.Pause(kDisconnectPause);
    Comm1.Close();
}

void DeviceSession::BeginBusy()
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

void DeviceSession::EndBusy()
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

// ---- Operations ----

bool DeviceSession::ReadDeviceInfo()
{
    host_.AddLog("Считываю информацию о контроллере...");
    if (!SendCommand("n", 0)) {
        LogFailure(kReadoutFailedLog);
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
            host_.AddLog(kReadoutFailedLog);
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
        if (SendCommand(command, 0))
            host_.AddLog(heading + Cp1251ToUtf8(RxText));
    }
    if (broken())
        return false;
    Bytes bytes;
    if (SendCommand("t", 14) && HexToBytes(RxText, bytes))
        host_.AddLog("   Показания часов: " + FormatDeviceDate(bytes) + " " + FormatDeviceTime(bytes));
    if (broken())
        return false;
    if (SendCommand("s", 26) && HexToBytes(RxText, bytes) && FrameChecksum(bytes) == 0) {
        const std::string identity(bytes.begin(), bytes.begin() + 12);
        host_.AddLog("   DRAXO ID: " + Cp1251ToUtf8(identity));
    }
    return !broken();
}

bool DeviceSession::SyncClock()
{
    host_.AddLog("Синхронизация часов ...");
    if (PingDevice("PFLASH") && !Aborted) {
        const auto payload = ClockPayload(host_.LocalTime());
        if (SendDataCommand("T", payload.data(), payload.size(), 1) && Acknowledged()) {
            host_.AddLog("   Часы успешно установлены.");
            return true;
        }
    }
    LogFailure("   ОШИБКА! Проблемы связи с контроллером.");
    return false;
}

// ---- Firmware update ----

bool DeviceSession::WriteCoreBlocks(const Bytes& image, int count)
{
    FlagScope transferring(transferring_);
    ProgressBar& progress = host_.Progress();
    progress.SetToMin();
    progress.SetMax(std::max(count, 0) + 1);
    for (int k = 0; k < count; ++k) {
        const std::uint8_t* block = image.data() + static_cast<std::size_t>(k) * kCoreBlockSize;
        bool accepted = false;
        for (int attempt = 0; attempt < kCoreAttempts && !accepted; ++attempt) {
            // A stop request ends the transfer here; a quick device would
            // otherwise keep acknowledging blocks after it.
            if (Aborted)
                return false;
            DiscardInput();
            accepted = (SendDataCommand("W", block, kCoreBlockSize, 1) && Acknowledged()) || AwaitLateAck();
        }
        if (!accepted)
            return false;
        progress.StepBy(1);
    }
    return true;
}

bool DeviceSession::WriteMediaBlocks(const Bytes& image, int first, int count)
{
    FlagScope transferring(transferring_);
    ProgressBar& progress = host_.Progress();
    progress.SetToMin();
    progress.SetMax(std::max(count, 0) + 1);
    std::array<std::uint8_t, 2 + kMediaBlockSize> block{};
    for (int k = 0; k < count; ++k) {
        if (Aborted)
            return false;
        const auto number = static_cast<std::uint16_t>(first + k);
        block[0] = static_cast<std::uint8_t>(number & 0xFF);
        block[1] = static_cast<std::uint8_t>(number >> 8);
        // The last block of an image that is not a whole number of blocks is
        // padded with 0xFF, the value of every byte the package leaves open.
        const std::size_t offset = static_cast<std::size_t>(k) * kMediaBlockSize;
        const std::size_t available = offset < image.size() ? std::min<std::size_t>(kMediaBlockSize, image.size() - offset) : 0;
        if (available > 0)
            std::copy_n(image.data() + offset, available, block.begin() + 2);
        std::fill(block.begin() + 2 + static_cast<std::ptrdiff_t>(available), block.end(), std::uint8_t{0xFF});
        DiscardInput();
        if (!((SendDataCommand("F", block.data(), block.size(), 1) && Acknowledged()) || AwaitLateAck()))
            return false;
        progress.StepBy(1);
    }
    return true;
}

bool DeviceSession::UpdateCore()
{
    if (Package.CORE_SIZE < 1)
        return false;
    host_.AddLog("Обновление микропрограммы...");
    bool exchangeOk = false;
    if (PingDevice("PFLASH") && !Aborted) {
        SendCommand("B", 0);
        bool polled = false;
        for (int i = 0; i < kLoaderPolls && !polled && !Aborted; ++i) {
            host_.Pause(kLoaderPollPause);
            polled = SendCommand("n", 0);
        }
        if (!polled || RxText != kLoaderIdentity) {
            LogFailure("   ОШИБКА! Не могу войти в режим загрузчика.");
            return false;
        }
        bool modelOk;
        Bytes model;
        if (SendCommand("D", 2)) {
            // A reply that is not hexadecimal cannot be compared: the update goes on.
            modelOk = !HexToBytes(RxText, model) || model.size() != 1 || model[0] == Package.DEVICE;
        } else {
            modelOk = Package.DEVICE == 0 || Package.DEVICE == 255;
        }
        if (ReportStop())
            return false;  // a stop is no model mismatch
        if (!modelOk) {
            host_.AddLog("   ОШИБКА! Обновление не соответствует модели ТЕЛВИКСа!");
        } else {
            exchangeOk = true;
        }
    }
    if (!exchangeOk) {
        LogFailure("   ОШИБКА! Ошибка при работе с контроллером.");
        return false;
    }
    if (WriteCoreBlocks(Package.CORE, Package.CORE_SIZE / kCoreBlockSize)) {
        SendCommand("X", 0);
        host_.Pause(kAfterCorePause);
        host_.AddLog("   Данные успешно загружены.");
        return true;
    }
    LogFailure("   ОШИБКА загрузки данных.");
    return false;
}

bool DeviceSession::UpdateMedia()
{
    if (Package.FLASH_SIZE < 1)
        return true;
    host_.AddLog("Обновление медиа данных...");
    if (!PingDevice("PFLASH") || !SendCommand("n", static_cast<int>(kFlasherIdentity.size()))) {
        LogFailure(kReadoutFailedLog);
        return false;
    }
    if (RxText != kFlasherIdentity) {
        LogFailure("   ОШИБКА! Не могу войти в режим программирования.");
        return false;
    }
    if (WriteMediaBlocks(Package.FLASH, 0, (Package.FLASH_SIZE + kMediaBlockSize - 1) / kMediaBlockSize)) {
        host_.AddLog("   Данные успешно загружены.");
        return true;
    }
    LogFailure("   ОШИБКА загрузки данных.");
    return false;
}

bool DeviceSession::ToolFullFlashClick()
{
    if (InOperation())
        return false;
    BeginOperation();
    if (host_.ShowDialog("Вы уверены, что хотите обновить ТЕЛВИКС?", DialogKind::Confirmation,
                         DialogButtons::YesNo) != ModalResult::Yes)
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
    host_.ShowDialog("Обновление завершено с ошибками!\rРабота ТЕЛВИКСа будет неправильной.\rПовторите процесс обновления заново!",
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
