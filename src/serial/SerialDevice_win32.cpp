// Serial device on Windows: one overlapped COM handle.
//
// Received data is signalled by a pending one-byte ReadFile, not by
// WaitCommEvent: Wine refuses the full event mask, and with EV_RXCHAR|EV_ERR
// it ends every pending wait with ERROR_OPERATION_ABORTED on each byte and
// every few milliseconds when idle. The byte that read takes is held here and
// handed out first by the next read(). Line errors, modem lines and a vanished
// device are looked at on a short tick instead.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Text_win32.h"
#include "serial/SerialDevice.h"

namespace kt::serial {
namespace {

using Clock = std::chrono::steady_clock;

static_assert(sizeof(DCB) == sizeof(Dcb), "the device control block is handed to Windows as it is");
static_assert(kEvRxChar == EV_RXCHAR && kEvCts == EV_CTS && kEvDsr == EV_DSR && kEvRlsd == EV_RLSD &&
              kEvErr == EV_ERR && kEvRing == EV_RING);
static_assert(kCeRxOver == CE_RXOVER && kCeOverrun == CE_OVERRUN && kCeRxParity == CE_RXPARITY &&
              kCeFrame == CE_FRAME && kCeBreak == CE_BREAK);
static_assert(kPurgeTxAbort == PURGE_TXABORT && kPurgeRxAbort == PURGE_RXABORT && kPurgeTxClear == PURGE_TXCLEAR &&
              kPurgeRxClear == PURGE_RXCLEAR);
static_assert(static_cast<int>(EscapeFunction::SetRts) == SETRTS &&
              static_cast<int>(EscapeFunction::ClrRts) == CLRRTS &&
              static_cast<int>(EscapeFunction::SetDtr) == SETDTR && static_cast<int>(EscapeFunction::ClrDtr) == CLRDTR);

// Line errors, modem lines and the device's presence are read at this interval.
constexpr auto kLinePollInterval = std::chrono::milliseconds(200);
// Reading bytes the driver has counted never waits; this bound only guards
// against a driver whose count was wrong.
constexpr DWORD kQueuedReadWaitMs = 100;
// One WriteFile takes at most this much of the output ring.
constexpr int kMaxWriteChunk = 64 * 1024;

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset(HANDLE handle = nullptr)
    {
        if (handle_ != nullptr)
            ::CloseHandle(handle_);
        handle_ = handle;
    }
    HANDLE release() { return std::exchange(handle_, nullptr); }

private:
    HANDLE handle_ = nullptr;
};

// "COM3" and the like are opened as \\.\COM3, which also reaches COM10 and
// above; a name given in that form (or as \\?\...) is taken as it is.
std::wstring DevicePath(const std::string& name)
{
    if (name.rfind("\\\\.\\", 0) == 0 || name.rfind("\\\\?\\", 0) == 0)
        return platform::ToWide(name);
    return L"\\\\.\\" + platform::ToWide(name);
}

// Not named by mingw-w64's headers.
constexpr DWORD kErrorNoSuchDevice = 433;

// The name of the object that marks a port as ours while it is open: Windows
// keeps a COM port to one opener, but Wine lets a second one in, and two of
// our ports on one line would take each other's replies.
std::wstring PortClaimName(const std::string& name)
{
    std::wstring port = platform::ToWide(name);
    if (port.rfind(L"\\\\.\\", 0) == 0 || port.rfind(L"\\\\?\\", 0) == 0)
        port.erase(0, 4);
    for (auto& c : port) {
        if (c == L'\\')
            c = L'_';
        else if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return L"Local\\KT-FLASH port " + port;
}

// What a refused open tells the user (SerialDevice::openFailureDetail).
constexpr const char* kNoSuchDevice = "no such device";
constexpr const char* kNotASerialPort = "not a serial port";
constexpr const char* kInUse = "in use by another program";

// The system's own words for `error`, in UTF-8, without the closing period and line break.
std::string SystemMessage(DWORD error)
{
    wchar_t text[512];
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                          text, static_cast<DWORD>(std::size(text)), nullptr);
    std::wstring_view message(text, length);
    while (!message.empty() &&
           (message.back() == L'\r' || message.back() == L'\n' || message.back() == L'.' || message.back() == L' '))
        message.remove_suffix(1);
    if (message.empty())
        return "system error " + std::to_string(error);
    return platform::ToUtf8(message);
}

struct Refusal {
    PortOpenFailure reason;
    std::string detail;
};

// Decodes the error of a failed CreateFileW, or of making the objects an open port needs.
Refusal DecodeOpenError(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BAD_NETPATH:
        return {PortOpenFailure::NoSuchDevice, kNoSuchDevice};
    // Windows lets one program at a time open a COM port; the next one is
    // told access denied, not a sharing violation.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return {PortOpenFailure::Busy, kInUse};
    default:
        return {PortOpenFailure::Other, SystemMessage(error)};
    }
}

// What calls on an open handle fail with once the device behind it has gone:
// a pulled USB adapter, a driver that was stopped, a closed far end under Wine.
bool IsGoneDevice(DWORD error)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case kErrorNoSuchDevice:
    case ERROR_NOT_READY:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_HANDLE:
    case ERROR_BROKEN_PIPE:
        return true;
    default:
        return false;
    }
}

DWORD WaitMillis(Clock::duration left)
{
    // Rounded up so that a wait never ends just before its deadline and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    constexpr long long kLongestWaitMs = 24LL * 3600 * 1000;
    return static_cast<DWORD>(std::clamp<long long>(ms, 0, kLongestWaitMs));
}

class Win32SerialDevice final : public SerialDevice {
public:
    ~Win32SerialDevice() override { close(); }

    OpenStatus open(const std::string& name) override
    {
        close();
        clearOpenFailure();
        if (name.empty())
            return refuseOpen(PortOpenFailure::NoSuchDevice, kNoSuchDevice);
        UniqueHandle port(::CreateFileW(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!port)
            return refuse(::GetLastError());
        // A file, a pipe or another device under that name is no serial port.
        DCB probe{};
        probe.DCBlength = sizeof probe;
        if (::GetFileType(port.get()) != FILE_TYPE_CHAR || !::GetCommState(port.get(), &probe))
            return refuseOpen(PortOpenFailure::NotATerminal, kNotASerialPort);

        UniqueHandle claim(::CreateMutexW(nullptr, FALSE, PortClaimName(name).c_str()));
        if (!claim)
            return refuse(::GetLastError());
        if (::GetLastError() == ERROR_ALREADY_EXISTS)
            return refuseOpen(PortOpenFailure::Busy, kInUse);

        DWORD eventError = ERROR_SUCCESS;  // the first failure, which later calls would overwrite
        auto makeEvent = [&eventError](BOOL manualReset) {
            HANDLE event = ::CreateEventW(nullptr, manualReset, FALSE, nullptr);
            if (event == nullptr && eventError == ERROR_SUCCESS)
                eventError = ::GetLastError();
            return UniqueHandle(event);
        };
        UniqueHandle eventWake = makeEvent(FALSE);
        UniqueHandle writeWake = makeEvent(FALSE);
        UniqueHandle rxDone = makeEvent(TRUE);
        UniqueHandle txDone = makeEvent(TRUE);
        UniqueHandle queuedDone = makeEvent(TRUE);
        if (eventError != ERROR_SUCCESS)
            return refuse(eventError);

        DWORD modem = 0;
        modemSupported_ = ::GetCommModemStatus(port.get(), &modem) != 0;
        lastModem_ = modem;

        port_.reset(port.release());
        claim_.reset(claim.release());
        eventWake_.reset(eventWake.release());
        writeWake_.reset(writeWake.release());
        rxDone_.reset(rxDone.release());
        txDone_.reset(txDone.release());
        queuedDone_.reset(queuedDone.release());
        hungUp_ = false;
        hangUpReported_ = false;
        externalWake_ = false;
        {
            std::lock_guard lock(mutex_);
            readPending_ = false;
            held_.reset();
            seenInput_ = 0;
            rxArmed_ = true;
            pendingErrors_ = 0;
        }
        {
            std::lock_guard lock(writeMutex_);
            writePending_ = false;
            writeAborted_ = false;
            writerThread_ = 0;
        }
        nextLineCheck_ = Clock::now();
        rxRetryAt_ = Clock::time_point{};
        return OpenStatus::Opened;
    }

    bool setTimeouts() override
    {
        // No timeouts at all: the one-byte read waits for its byte, and the
        // reads of counted bytes never wait (read() asks for no more than the
        // driver holds), so read() returns at once with what is queued.
        COMMTIMEOUTS timeouts{};
        return ::SetCommTimeouts(port_.get(), &timeouts) != 0;
    }

    bool setupQueues(int inQueueSize, int outQueueSize) override
    {
        return ::SetupComm(port_.get(), static_cast<DWORD>(std::max(inQueueSize, 0)),
                           static_cast<DWORD>(std::max(outQueueSize, 0))) != 0;
    }

    // The mask is kept here and applied to what the read and the tick find;
    // SetCommMask is not called, as no WaitCommEvent is ever made.
    bool setEventMask(std::uint32_t mask) override
    {
        eventMask_ = mask;
        if (mask == 0)
            wakeEventWait();
        return static_cast<bool>(port_);
    }

    bool setState(const Dcb& dcb) override
    {
        if (dcb.baudRate == 0)
            return false;
        DCB state{};
        std::memcpy(&state, &dcb, sizeof state);
        state.DCBlength = sizeof state;
        // An error must not stop every later read and write until it is cleared.
        state.fAbortOnError = FALSE;
        return ::SetCommState(port_.get(), &state) != 0;
    }

    bool getState(Dcb& dcb) override
    {
        DCB state{};
        state.DCBlength = sizeof state;
        if (!::GetCommState(port_.get(), &state))
            return false;
        std::memcpy(static_cast<void*>(&dcb), &state, sizeof dcb);
        dcb.dcbLength = kDcbSize;
        return true;
    }

    WaitStatus waitEvent(std::uint32_t& mask, std::chrono::milliseconds timeout) override
    {
        mask = 0;
        const auto deadline = Clock::now() + timeout;
        {
            // Bytes still unread are looked at once more per wait; seenInput_
            // keeps them from being reported again.
            std::lock_guard lock(mutex_);
            rxArmed_ = true;
        }
        for (;;) {
            if (hungUp_ && !hangUpReported_) {
                hangUpReported_ = true;
                return WaitStatus::HungUp;
            }
            auto now = Clock::now();
            if (!hungUp_ && now >= nextLineCheck_) {
                nextLineCheck_ = now + kLinePollInterval;
                const std::uint32_t changes = checkLines() & eventMask_;
                if (changes != 0) {
                    mask = changes;
                    return WaitStatus::Event;
                }
                if (hungUp_)
                    continue;
            }
            if (now >= deadline)
                return WaitStatus::Timeout;

            bool readInFlight = false;
            if (!hungUp_ && (eventMask_ & kEvRxChar) && now >= rxRetryAt_) {
                std::lock_guard lock(mutex_);
                if (rxArmed_) {
                    if (!held_ && !readPending_)
                        startSignalRead();
                    if (held_) {
                        const int available = 1 + static_cast<int>(queuedInput());
                        if (available > seenInput_) {
                            seenInput_ = available;
                            mask = kEvRxChar;
                            return WaitStatus::Event;
                        }
                        // Reported and unread: read() re-arms the watch.
                        rxArmed_ = false;
                    }
                }
                readInFlight = readPending_;
            }

            auto until = std::min(deadline, nextLineCheck_);
            if (rxRetryAt_ > now)
                until = std::min(until, rxRetryAt_);
            const HANDLE handles[2] = {eventWake_.get(), rxDone_.get()};
            const DWORD rc = ::WaitForMultipleObjects(readInFlight ? 2 : 1, handles, FALSE, WaitMillis(until - now));
            if (rc == WAIT_OBJECT_0) {
                if (externalWake_.exchange(false))
                    return WaitStatus::Woken;
            } else if (rc == WAIT_OBJECT_0 + 1) {
                finishSignalRead();
            } else if (rc == WAIT_FAILED) {
                return WaitStatus::Timeout;
            }
        }
    }

    void wakeEventWait() override
    {
        externalWake_ = true;
        if (eventWake_)
            ::SetEvent(eventWake_.get());
    }

    bool clearCommError(std::uint32_t& errors, ComStat& stat) override
    {
        errors = 0;
        stat = ComStat{};
        DWORD found = 0;
        COMSTAT counts{};
        if (!::ClearCommError(port_.get(), &found, &counts)) {
            noteFailure(::GetLastError());
            return false;
        }
        {
            std::lock_guard lock(mutex_);
            errors = std::exchange(pendingErrors_, 0) | found;
            stat.inQueue = counts.cbInQue + (held_ ? 1 : 0);
        }
        stat.outQueue = counts.cbOutQue;
        {
            // Under Wine a write still in progress is not in the driver's
            // count; on Windows it is.
            std::lock_guard lock(writeMutex_);
            if (writePending_)
                stat.outQueue = std::max<std::uint32_t>(stat.outQueue, static_cast<std::uint32_t>(writeLength_));
        }
        return true;
    }

    int read(char* buffer, int count) override
    {
        if (count <= 0 || !port_)
            return 0;
        std::lock_guard lock(mutex_);
        // The pending one-byte read would otherwise take a byte from the
        // middle of what is read here.
        cancelSignalRead();
        int got = 0;
        if (held_) {
            buffer[got++] = *held_;
            held_.reset();
        }
        if (got < count) {
            const DWORD queued = queuedInput();
            const DWORD want = std::min<DWORD>(static_cast<DWORD>(count - got), queued);
            if (want > 0)
                got += readQueued(buffer + got, want);
        }
        seenInput_ = std::max(seenInput_ - got, 0);
        rxArmed_ = true;
        // The event thread sets up its read again.
        ::SetEvent(eventWake_.get());
        return got;
    }

    int write(const char* buffer, int count) override
    {
        std::lock_guard lock(writeMutex_);
        writerThread_ = ::GetCurrentThreadId();
        if (writeAborted_)
            return 0;  // waitWritable reports it
        if (writePending_) {
            DWORD sent = 0;
            if (!::GetOverlappedResult(port_.get(), &txOverlapped_, &sent, FALSE)) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_IO_INCOMPLETE)
                    return 0;
                writePending_ = false;
                noteFailure(error);
                return -1;
            }
            writePending_ = false;
            return static_cast<int>(sent);
        }
        if (count <= 0)
            return 0;
        // The bytes are copied: the ring may be cleared while Windows still
        // reads them.
        const int length = std::min(count, kMaxWriteChunk);
        txBuffer_.assign(buffer, buffer + length);
        txOverlapped_ = OVERLAPPED{};
        txOverlapped_.hEvent = txDone_.get();
        if (::WriteFile(port_.get(), txBuffer_.data(), static_cast<DWORD>(length), nullptr, &txOverlapped_)) {
            DWORD sent = 0;
            ::GetOverlappedResult(port_.get(), &txOverlapped_, &sent, FALSE);
            return static_cast<int>(sent);
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            // Reported by a later write() once done, so the block is not sent again.
            writePending_ = true;
            writeLength_ = length;
            return 0;
        }
        noteFailure(error);
        return -1;
    }

    WriteWait waitWritable() override
    {
        {
            std::lock_guard lock(writeMutex_);
            writerThread_ = ::GetCurrentThreadId();
            if (writeAborted_) {
                // Another thread purged the write in progress: the bytes it
                // sent are unknown, so its block is not sent again.
                writeAborted_ = false;
                return WriteWait::Failed;
            }
            if (!writePending_)
                return hungUp_ ? WriteWait::Failed : WriteWait::Writable;
        }
        const HANDLE handles[2] = {writeWake_.get(), txDone_.get()};
        switch (::WaitForMultipleObjects(2, handles, FALSE, INFINITE)) {
        case WAIT_OBJECT_0:
            return WriteWait::Woken;
        case WAIT_OBJECT_0 + 1: {
            std::lock_guard lock(writeMutex_);
            if (writeAborted_) {
                writeAborted_ = false;
                return WriteWait::Failed;
            }
            return WriteWait::Writable;
        }
        default:
            return WriteWait::Failed;
        }
    }

    void wakeWriter() override
    {
        if (writeWake_)
            ::SetEvent(writeWake_.get());
    }

    bool HungUp() const override { return hungUp_.load(); }

    bool purge(std::uint32_t flags) override
    {
        const bool output = flags & (kPurgeTxAbort | kPurgeTxClear);
        const bool input = flags & (kPurgeRxAbort | kPurgeRxClear);
        if (flags & kPurgeTxAbort)
            wakeWriter();
        if (!output && !input)
            return true;
        if (output) {
            std::lock_guard lock(writeMutex_);
            if (writePending_) {
                ::CancelIoEx(port_.get(), &txOverlapped_);
                DWORD sent = 0;
                ::GetOverlappedResult(port_.get(), &txOverlapped_, &sent, TRUE);
                writePending_ = false;
                // The write thread purges only after dropping its queue; any
                // other thread leaves it a block in flight that must not go again.
                writeAborted_ = writerThread_ != ::GetCurrentThreadId();
            }
        }
        if (input) {
            std::lock_guard lock(mutex_);
            cancelSignalRead();
            held_.reset();
            seenInput_ = 0;
            ::SetEvent(eventWake_.get());
        }
        return ::PurgeComm(port_.get(), flags) != 0;
    }

    bool escape(EscapeFunction function) override
    {
        return ::EscapeCommFunction(port_.get(), static_cast<DWORD>(function)) != 0;
    }

    void close() override
    {
        if (!port_)
            return;
        // Every operation in flight ends before its OVERLAPPED and buffer go away.
        ::CancelIoEx(port_.get(), nullptr);
        DWORD transferred = 0;
        {
            std::lock_guard lock(mutex_);
            if (readPending_)
                ::GetOverlappedResult(port_.get(), &rxOverlapped_, &transferred, TRUE);
            readPending_ = false;
            held_.reset();
        }
        {
            std::lock_guard lock(writeMutex_);
            if (writePending_)
                ::GetOverlappedResult(port_.get(), &txOverlapped_, &transferred, TRUE);
            writePending_ = false;
        }
        port_.reset();
        claim_.reset();
        eventWake_.reset();
        writeWake_.reset();
        rxDone_.reset();
        txDone_.reset();
        queuedDone_.reset();
    }

private:
    OpenStatus refuse(DWORD error)
    {
        auto [reason, detail] = DecodeOpenError(error);
        return refuseOpen(reason, std::move(detail));
    }

    // mutex_ held. Starts the one-byte read that signals received data; a byte
    // already there is taken at once.
    void startSignalRead()
    {
        rxOverlapped_ = OVERLAPPED{};
        rxOverlapped_.hEvent = rxDone_.get();
        if (::ReadFile(port_.get(), &rxByte_, 1, nullptr, &rxOverlapped_)) {
            DWORD got = 0;
            ::GetOverlappedResult(port_.get(), &rxOverlapped_, &got, FALSE);
            takeSignalByte(got);
            return;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
            readPending_ = true;
            return;
        }
        readFailed(error);
    }

    // Event thread: the one-byte read has ended.
    void finishSignalRead()
    {
        std::lock_guard lock(mutex_);
        if (!readPending_)
            return;  // read() or a purge took it over
        DWORD got = 0;
        if (!::GetOverlappedResult(port_.get(), &rxOverlapped_, &got, FALSE)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_IO_INCOMPLETE)
                return;
            readPending_ = false;
            readFailed(error);
            return;
        }
        readPending_ = false;
        takeSignalByte(got);
    }

    // mutex_ held. Ends the one-byte read, keeping a byte it already took.
    void cancelSignalRead()
    {
        if (!readPending_)
            return;
        ::CancelIoEx(port_.get(), &rxOverlapped_);
        DWORD got = 0;
        ::GetOverlappedResult(port_.get(), &rxOverlapped_, &got, TRUE);
        readPending_ = false;
        if (got == 1)
            held_ = rxByte_;
    }

    // mutex_ held.
    void takeSignalByte(DWORD got)
    {
        if (got == 1) {
            held_ = rxByte_;
            return;
        }
        // No byte with no timeouts set: the far end has gone, or the driver
        // is in a state that a read at the next tick may get past.
        readFailed(ERROR_SUCCESS);
    }

    // mutex_ held. A failed read is not repeated before the next tick, so that
    // a driver that fails every read at once cannot make the thread spin.
    void readFailed(DWORD error)
    {
        rxRetryAt_ = Clock::now() + kLinePollInterval;
        if (IsGoneDevice(error)) {
            markHungUp();
            return;
        }
        // A device that has gone fails this too; one that is there is read
        // again at the next tick.
        queuedInput();
    }

    // mutex_ held. The bytes the driver holds; its line errors are kept for clearCommError.
    DWORD queuedInput()
    {
        DWORD found = 0;
        COMSTAT counts{};
        if (!::ClearCommError(port_.get(), &found, &counts)) {
            if (IsGoneDevice(::GetLastError()))
                markHungUp();
            return 0;
        }
        pendingErrors_ |= found;
        return counts.cbInQue;
    }

    // mutex_ held. Reads `want` bytes that the driver already holds.
    int readQueued(char* buffer, DWORD want)
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = queuedDone_.get();
        DWORD got = 0;
        if (!::ReadFile(port_.get(), buffer, want, nullptr, &overlapped)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_IO_PENDING) {
                noteFailure(error);
                return 0;
            }
            if (::WaitForSingleObject(queuedDone_.get(), kQueuedReadWaitMs) != WAIT_OBJECT_0)
                ::CancelIoEx(port_.get(), &overlapped);
        }
        // After a cancel this still tells the bytes that arrived before it.
        ::GetOverlappedResult(port_.get(), &overlapped, &got, TRUE);
        return static_cast<int>(std::min(got, want));
    }

    void noteFailure(DWORD error)
    {
        if (IsGoneDevice(error))
            markHungUp();
    }

    // Any thread. The event thread's wait is woken so that it reports the
    // hang-up at once also when a read or a write saw it first.
    void markHungUp()
    {
        if (!hungUp_.exchange(true) && eventWake_)
            ::SetEvent(eventWake_.get());
    }

    // Event thread. Returns the kEv* bits of what changed since the last look.
    std::uint32_t checkLines()
    {
        std::uint32_t events = 0;
        DWORD found = 0;
        COMSTAT counts{};
        if (!::ClearCommError(port_.get(), &found, &counts)) {
            noteFailure(::GetLastError());
            return 0;
        }
        if (found != 0) {
            std::lock_guard lock(mutex_);
            pendingErrors_ |= found;
            events |= kEvErr;
        }
        DWORD modem = 0;
        if (modemSupported_ && ::GetCommModemStatus(port_.get(), &modem)) {
            const DWORD changed = modem ^ lastModem_;
            if (changed & MS_CTS_ON)
                events |= kEvCts;
            if (changed & MS_DSR_ON)
                events |= kEvDsr;
            if (changed & MS_RLSD_ON)
                events |= kEvRlsd;
            if ((changed & MS_RING_ON) && (modem & MS_RING_ON))
                events |= kEvRing;
            lastModem_ = modem;
        }
        return events;
    }

    UniqueHandle port_;
    UniqueHandle claim_;       // marks the port as ours while it is open
    UniqueHandle eventWake_;   // stop, drained output, input re-arming, hang-up
    UniqueHandle writeWake_;   // new data, purge and stop for the write thread
    UniqueHandle rxDone_;      // the one-byte read ended
    UniqueHandle txDone_;      // the write in progress ended
    UniqueHandle queuedDone_;  // read() of counted bytes ended

    std::atomic<std::uint32_t> eventMask_{0};
    std::atomic<bool> hungUp_{false};
    std::atomic<bool> externalWake_{false};

    std::mutex mutex_;  // the input side, shared by the event thread and readers
    OVERLAPPED rxOverlapped_{};
    char rxByte_ = 0;
    bool readPending_ = false;
    std::optional<char> held_;  // the byte the one-byte read took, not yet read
    int seenInput_ = 0;         // input bytes already reported as kEvRxChar and not yet read
    bool rxArmed_ = true;
    std::uint32_t pendingErrors_ = 0;

    std::mutex writeMutex_;  // the output side
    OVERLAPPED txOverlapped_{};
    std::vector<char> txBuffer_;
    bool writePending_ = false;
    int writeLength_ = 0;
    bool writeAborted_ = false;
    DWORD writerThread_ = 0;

    // Event thread only.
    bool hangUpReported_ = false;
    bool modemSupported_ = false;
    DWORD lastModem_ = 0;
    Clock::time_point nextLineCheck_{};
    Clock::time_point rxRetryAt_{};
};

}  // namespace

std::unique_ptr<SerialDevice> SerialDevice::create()
{
    return std::make_unique<Win32SerialDevice>();
}

}  // namespace kt::serial
