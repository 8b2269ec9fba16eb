#include "shell/FormActions.h"

#include "platform/LocalClock.h"
#include "platform/RecordFile.h"
#include "serial/PortList.h"
#include "serial/SpSafeSync.h"
#include "shell/OperationRecord.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kt {

const char* const FormActions::kStopTransferQuestion =
    "Прервать обновление?\rПрошивка ТЕЛВИКСа останется неполной, и его работа будет неправильной\r"
    "до повторного обновления.";

const char* const kWindowHelp =
    "usage: kt-flash [--simulate] [PACKAGE]\n"
    "  PACKAGE     a firmware package (.kvf) to open once the window shows\n"
    "  --simulate  a simulated device inside the program answers instead of a serial port\n"
    "  --help      show this text\n"
    "  --version   show the program's version\n"
    "kt-flash-cli does the same from a terminal, without a window.\n";

namespace {

// The operation record could not be kept; the file and the system's reason follow.
const std::string kRecordFailed = "Не удаётся вести журнал операций:\r";

}  // namespace

bool FormActions::StopKey()
{
    if (!session_.InOperation())
        return false;
    if (session_.StopRequested())
        return true;
    if (session_.InTransfer() && view_.ShowDialog(kStopTransferQuestion, DialogKind::Confirmation,
                                                  DialogButtons::YesNoDefaultNo) != ModalResult::Yes)
        return true;
    session_.Abort();  // the running wait gives up; the operation ends with its failure lines
    return true;
}

void FormActions::Run(bool (DeviceSession::*operation)())
{
    // An operation running already refuses the click itself; its record is its own.
    const bool recording = !recordPath_.empty() && !session_.InOperation();
    std::string error;
    if (recording && !platform::CheckAppendable(recordPath_, error)) {
        view_.ShowDialog(kRecordFailed + recordPath_ + "\r" + error, DialogKind::Error, DialogButtons::Ok);
        return;
    }
    if (!session_.InOperation())
        attempts_.clear();
    const std::string startedAt = recording ? RecordTimeNow() : std::string();
    session_.ReadBackAfterUpdate = recording;
    // No exception may leave into the window's event loop.
    try {
        (session_.*operation)();
    } catch (...) {
        ShowProgramError(std::current_exception());
    }
    // An update the user did not confirm did nothing worth a record.
    if (!recording || session_.Report.operation.empty() || session_.Report.stopReason == StopReason::NotConfirmed)
        return;
    if (!AppendOperationRecord(recordPath_, session_.Report, &session_.PackageInUse(), startedAt, error))
        view_.ShowDialog(kRecordFailed + recordPath_ + "\r" + error, DialogKind::Error, DialogButtons::Ok);
}

std::string FormActions::SearchDetail() const
{
    std::string text;
    for (const auto& attempt : attempts_) {
        if (attempt.outcome == PortOutcome::Found)
            return {};
        text += (text.empty() ? "" : "\n") + DescribePortAttempt(attempt);
    }
    return text;
}

void FormActions::ShowProgramError(const std::exception_ptr& error)
{
    session_.Fault();
    const std::string text = serial::ExceptionText(error);
    if (showingError_) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    showingError_ = true;
    view_.ShowDialog(text, DialogKind::Error, DialogButtons::Ok);
    showingError_ = false;
}

void FormActions::UseSimulatedDevice(serial::TSpComPort& comm, const std::string& port,
                                     serial::SerialDeviceFactory device)
{
    if (!rememberedPort_)
        rememberedPort_ = session_.PortName;
    comm.SetDeviceFactory(std::move(device));
    session_.PortName = port;
    serial::SetPortListOverride(std::vector<std::string>{});
}

std::string UpdateStatusText(const DeviceHost::Transfer& transfer, const KVF_TYPE& package)
{
    using Session = DeviceSession;
    const long long core = package.CORE_SIZE > 0 ? static_cast<long long>(package.CORE_SIZE / Session::kCoreBlockSize) *
                                                       Session::kCoreBlockSize
                                                 : 0;
    const long long media = package.FLASH_SIZE > 0
                                ? (static_cast<long long>(package.FLASH_SIZE) + Session::kMediaBlockSize - 1) /
                                      Session::kMediaBlockSize * Session::kMediaBlockSize
                                : 0;
    const long long total = std::max(core + media, 1LL);
    const long long done = std::clamp((transfer.step == "core" ? 0 : core) + transfer.bytesDone, 0LL, total);
    std::string text = "Всего " + std::to_string(done * 100 / total) + " %";
    const double seconds = std::chrono::duration<double>(transfer.elapsed).count();
    if (seconds >= 0.5 && transfer.bytesDone > 0) {
        const double speed = static_cast<double>(transfer.bytesDone) / seconds;
        const auto left = static_cast<long long>(static_cast<double>(total - done) / speed + 0.5);
        char figures[96];
        std::snprintf(figures, sizeof figures, "  ·  %lld КБ/с  ·  осталось %lld:%02lld",
                      static_cast<long long>(speed / 1024.0 + 0.5), left / 60, left % 60);
        text += figures;
    }
    return text;
}

std::string StampedLog(const std::vector<std::string>& lines,
                       const std::vector<std::chrono::system_clock::time_point>& times,
                       std::chrono::system_clock::time_point now)
{
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto when = i < times.size() ? times[i] : now;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
        const std::tm t = platform::LocalTime(static_cast<std::time_t>(ms / 1000));
        char stamp[96];
        std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d  ", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(ms % 1000));
        out += stamp;
        out += lines[i];
        out += '\n';
    }
    return out;
}

std::string FormActions::PackageArgument(const std::vector<std::string>& arguments)
{
    for (std::size_t i = 1; i < arguments.size(); ++i)
        if (arguments[i].rfind("--", 0) != 0)
            return arguments[i];
    return {};
}

}  // namespace kt
