// Serial device on a POSIX tty (Linux flavour): termios, poll and eventfd.
#include "serial/SerialDevice_linux.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

#include "serial/SerialBaud_linux.h"
#include "serial/SerialDevice.h"

namespace kt::serial {
namespace {

using Clock = std::chrono::steady_clock;

// Modem lines and line-error counters have no event of their own on Linux
// (TIOCMIWAIT cannot be cancelled), so they are read at this interval.
constexpr auto kLinePollInterval = std::chrono::milliseconds(200);
// The write thread's wait ends only when the device takes output or the thread
// is woken for new data, a purge or stop; nothing else should end it.
constexpr int kWriterWaitForever = -1;

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

void signalEventFd(const UniqueFd& fd)
{
    const std::uint64_t one = 1;
    // Fails only when the counter would overflow, and then a wake is pending anyway.
    [[maybe_unused]] const auto written = ::write(fd.get(), &one, sizeof one);
}

void drainEventFd(const UniqueFd& fd)
{
    std::uint64_t count = 0;
    [[maybe_unused]] const auto got = ::read(fd.get(), &count, sizeof count);
}

// What a refused open tells the user (SerialDevice::openFailureDetail).
constexpr const char* kNoSuchDevice = "no such device";
constexpr const char* kNotASerialPort = "not a serial port";
constexpr const char* kHeldElsewhere = "held by another program";
constexpr const char* kHeldHere = "already open in this program";

std::string groupName(gid_t gid)
{
    const long suggested = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 1024);
    group entry{};
    group* found = nullptr;
    int rc = 0;
    while ((rc = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    return rc == 0 && found != nullptr ? std::string(found->gr_name) : std::string();
}

// Serial nodes belong to a group whose members may open them (dialout on most
// distributions, uucp on some). Root's group is left out: joining it is no
// advice to give.
std::string permissionDetail(const std::string& name)
{
    struct stat node {};
    std::string group;
    if (::stat(name.c_str(), &node) == 0 && node.st_gid != 0)
        group = groupName(node.st_gid);
    if (group.empty())
        return "permission denied";
    return "permission denied: add your user to the " + group + " group (sudo usermod -aG " + group +
           " $USER) and log in again";
}

std::string describeHolder(const PortHolder& holder)
{
    const std::string pid = "PID " + std::to_string(holder.pid);
    return holder.name.empty() ? pid : holder.name + " (" + pid + ")";
}

// Names who holds the device, as far as /proc shows it: without privileges
// only the user's own processes can be seen.
std::string busyDetail(const std::string& name)
{
    const int self = static_cast<int>(::getpid());
    std::string others;
    bool heldHere = false;
    for (const auto& holder : findPortHolders("/proc", name)) {
        if (holder.pid == self) {
            heldHere = true;
            continue;
        }
        others += (others.empty() ? "" : ", ") + describeHolder(holder);
    }
    if (!others.empty())
        return std::string(kHeldElsewhere) + ": " + others;
    return heldHere ? kHeldHere : kHeldElsewhere;
}

struct Refusal {
    PortOpenFailure reason;
    std::string detail;
};

// Decodes the errno of a failed open(), flock() or eventfd() during an open of `name`.
Refusal decodeOpenError(int error, const std::string& name)
{
    switch (error) {
    // A missing node or path component, or a node with no driver behind it
    // (ENODEV, ENXIO: an unplugged USB adapter whose node is still there).
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR:
    case ENAMETOOLONG:
        return {PortOpenFailure::NoSuchDevice, kNoSuchDevice};
    case EISDIR:
        return {PortOpenFailure::NotATerminal, kNotASerialPort};
    case EACCES:
    case EPERM:
        return {PortOpenFailure::NoPermission, permissionDetail(name)};
    // EBUSY: another opener set TIOCEXCL (which root gets past); EWOULDBLOCK:
    // another opener holds the flock.
    case EBUSY:
    case EWOULDBLOCK:
        return {PortOpenFailure::Busy, busyDetail(name)};
    default:
        return {PortOpenFailure::Other, std::system_category().message(error)};
    }
}

std::optional<int> parsePid(const std::string& text)
{
    int pid = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, pid);
    if (ec != std::errc{} || stop != end || pid <= 0)
        return std::nullopt;
    return pid;
}

// True when a descriptor in fdFolder (/proc/<pid>/fd) is open on the character device `device`.
bool holdsDevice(const std::filesystem::path& fdFolder, dev_t device)
{
    std::error_code ec;
    for (std::filesystem::directory_iterator it(fdFolder, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat target {};
        if (::stat(it->path().c_str(), &target) == 0 && S_ISCHR(target.st_mode) && target.st_rdev == device)
            return true;
    }
    return false;
}

// What reads and writes on an open tty fail with once its device has gone: EIO
// after a hang-up (pulled adapter, closed pseudo-terminal master), ENODEV or
// ENXIO from some USB drivers in the moment of the unplug.
bool isGoneDevice(int error)
{
    return error == EIO || error == ENODEV || error == ENXIO;
}

struct SpeedEntry {
    std::uint32_t baud;
    speed_t speed;
};

constexpr SpeedEntry kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

const SpeedEntry* findSpeed(std::uint32_t baud)
{
    for (const auto& entry : kStandardSpeeds)
        if (entry.baud == baud)
            return &entry;
    return nullptr;
}

class PosixSerialDevice final : public SerialDevice {
public:
    ~PosixSerialDevice() override { close(); }

    OpenStatus open(const std::string& name) override
    {
        close();
        clearOpenFailure();
        UniqueFd fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        if (!fd)
            return refuse(errno, name);
        // A file or a non-tty device under that name is no serial port.
        if (!::isatty(fd.get()))
            return refuseOpen(PortOpenFailure::NotATerminal, kNotASerialPort);
        // TIOCEXCL alone is ignored for root and flock alone is only advisory;
        // together they keep a second opener (another program or another port
        // object of ours) off the line.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            fd.reset();  // before the holders are looked for: it is no holder to name
            return refuse(error, name);
        }
        UniqueFd eventWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!eventWake)
            return refuse(errno, name);
        UniqueFd writeWake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!writeWake)
            return refuse(errno, name);
        exclusive_ = ::ioctl(fd.get(), TIOCEXCL) == 0;

        requestLowLatency(fd.get());
        probeLineMonitoring(fd.get());

        fd_ = std::move(fd);
        eventWake_ = std::move(eventWake);
        writeWake_ = std::move(writeWake);
        hungUp_ = false;
        hangUpReported_ = false;
        externalWake_ = false;
        {
            std::lock_guard lock(mutex_);
            seenInput_ = 0;
            rxArmed_ = true;
            pendingErrors_ = 0;
        }
        nextLineCheck_ = Clock::now();
        return OpenStatus::Opened;
    }

    bool setTimeouts() override
    {
        termios tio{};
        if (::tcgetattr(fd_.get(), &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        return ::tcsetattr(fd_.get(), TCSANOW, &tio) == 0;
    }

    // The kernel sizes its own tty queues; the output ring is the core's.
    bool setupQueues(int, int) override { return static_cast<bool>(fd_); }

    bool setEventMask(std::uint32_t mask) override
    {
        eventMask_ = mask;
        if (mask == 0)
            wakeEventWait();
        return static_cast<bool>(fd_);
    }

    bool setState(const Dcb& dcb) override
    {
        termios tio{};
        if (::tcgetattr(fd_.get(), &tio) != 0)
            return false;
        if (dcb.baudRate == 0)
            return false;  // speed 0 would hang up the line

        tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
        switch (dcb.byteSize) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            return false;
        }
        switch (dcb.parity) {
        case kNoParity:
            break;
        case kOddParity:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case kEvenParity:
            tio.c_cflag |= PARENB;
            break;
        case kMarkParity:
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case kSpaceParity:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            return false;
        }
        switch (dcb.stopBits) {
        case kOneStopBit:
            break;
        // Linux sends 1.5 stop bits for CSTOPB with 5 data bits, else 2.
        case kOne5StopBits:
        case kTwoStopBits:
            tio.c_cflag |= CSTOPB;
            break;
        default:
            return false;
        }
        if ((dcb.flags & kDcbOutxCtsFlow) || (dcb.flags & kDcbRtsControlMask) == kDcbRtsControlHandshake)
            tio.c_cflag |= CRTSCTS;

        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
        if (dcb.flags & kDcbOutX)
            tio.c_iflag |= IXON;
        if (dcb.flags & kDcbInX)
            tio.c_iflag |= IXOFF;
        if (dcb.flags & kDcbParityCheck)
            tio.c_iflag |= INPCK;
        tio.c_cc[VSTART] = static_cast<cc_t>(dcb.xonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.xoffChar);

        const SpeedEntry* standard = findSpeed(dcb.baudRate);
        // Any rate without a Bxxx constant goes through termios2 afterwards.
        const speed_t speed = standard ? standard->speed : B38400;
        // An input speed left by an earlier custom rate (BOTHER in CIBAUD) would
        // survive cfsetispeed, and the line would receive at the old speed.
        tio.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
        if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0)
            return false;
        if (::tcsetattr(fd_.get(), TCSANOW, &tio) != 0)
            return false;
        if (!standard && !setCustomBaud(fd_.get(), dcb.baudRate))
            return false;

        // Modem lines follow the block as far as the device has them; a
        // pseudo-terminal has none, which is no error.
        const std::uint32_t dtr = dcb.flags & kDcbDtrControlMask;
        if (dtr == kDcbDtrControlEnable)
            escape(EscapeFunction::SetDtr);
        if (dtr == 0)
            escape(EscapeFunction::ClrDtr);
        const std::uint32_t rts = dcb.flags & kDcbRtsControlMask;
        if (rts == kDcbRtsControlEnable)
            escape(EscapeFunction::SetRts);
        if (rts == 0)
            escape(EscapeFunction::ClrRts);
        return true;
    }

    bool getState(Dcb& dcb) override
    {
        termios tio{};
        if (::tcgetattr(fd_.get(), &tio) != 0)
            return false;
        dcb.dcbLength = kDcbSize;
        std::uint32_t baud = 0;
        if (readCustomBaud(fd_.get(), baud))
            dcb.baudRate = baud;
        switch (tio.c_cflag & CSIZE) {
        case CS5:
            dcb.byteSize = 5;
            break;
        case CS6:
            dcb.byteSize = 6;
            break;
        case CS7:
            dcb.byteSize = 7;
            break;
        default:
            dcb.byteSize = 8;
            break;
        }
        if (!(tio.c_cflag & PARENB))
            dcb.parity = kNoParity;
        else if (tio.c_cflag & CMSPAR)
            dcb.parity = (tio.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
        else
            dcb.parity = (tio.c_cflag & PARODD) ? kOddParity : kEvenParity;
        dcb.stopBits = (tio.c_cflag & CSTOPB) ? kTwoStopBits : kOneStopBit;
        std::uint32_t flags = dcb.flags & (kDcbDtrControlMask | kDcbRtsControlMask);
        flags |= kDcbBinary;
        if (tio.c_cflag & CRTSCTS)
            flags = (flags & ~kDcbRtsControlMask) | kDcbOutxCtsFlow | kDcbRtsControlHandshake;
        if (tio.c_iflag & IXON)
            flags |= kDcbOutX;
        if (tio.c_iflag & IXOFF)
            flags |= kDcbInX;
        if (tio.c_iflag & INPCK)
            flags |= kDcbParityCheck;
        dcb.flags = flags;
        dcb.xonChar = static_cast<char>(tio.c_cc[VSTART]);
        dcb.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
        return true;
    }

    WaitStatus waitEvent(std::uint32_t& mask, std::chrono::milliseconds timeout) override
    {
        mask = 0;
        const auto deadline = Clock::now() + timeout;
        {
            // Bytes still unread are looked at once more per wait; the check
            // below keeps them from being reported again.
            std::lock_guard lock(mutex_);
            rxArmed_ = true;
        }
        for (;;) {
            if (hungUp_ && !hangUpReported_) {
                hangUpReported_ = true;
                return WaitStatus::HungUp;
            }
            auto now = Clock::now();
            if (monitorsLines() && now >= nextLineCheck_) {
                nextLineCheck_ = now + kLinePollInterval;
                const std::uint32_t changes = checkLines() & eventMask_;
                if (changes != 0) {
                    mask = changes;
                    return WaitStatus::Event;
                }
            }
            if (now >= deadline)
                return WaitStatus::Timeout;
            auto until = deadline;
            if (monitorsLines())
                until = std::min(until, nextLineCheck_);

            // The device is watched even when input is not: a hang-up comes
            // unasked (events 0), and it must end the wait at once rather than
            // at the next tick. A hung-up tty stays readable and hung up for
            // ever, so it is then left alone; the thread sleeps until stop or
            // the next tick.
            const bool input = watchesInput();
            pollfd fds[2] = {{eventWake_.get(), POLLIN, 0}, {-1, 0, 0}};
            if (!hungUp_) {
                fds[1].fd = fd_.get();
                fds[1].events = input ? POLLIN : 0;
            }
            const int rc = ::poll(fds, 2, waitMillis(until - now));
            if (rc < 0) {
                if (errno == EINTR)
                    continue;
                return WaitStatus::Timeout;
            }
            if (fds[0].revents & POLLIN) {
                drainEventFd(eventWake_);
                if (externalWake_.exchange(false))
                    return WaitStatus::Woken;
            }
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
                markHungUp();
            if (input && fds[1].revents != 0) {
                const int available = inputCount();
                std::lock_guard lock(mutex_);
                if (available > seenInput_) {
                    seenInput_ = available;
                    mask = kEvRxChar;
                    return WaitStatus::Event;
                }
                seenInput_ = available;
                rxArmed_ = false;
            }
        }
    }

    void wakeEventWait() override
    {
        externalWake_ = true;
        if (eventWake_)
            signalEventFd(eventWake_);
    }

    bool clearCommError(std::uint32_t& errors, ComStat& stat) override
    {
        {
            std::lock_guard lock(mutex_);
            errors = std::exchange(pendingErrors_, 0);
        }
        stat = ComStat{};
        int queued = 0;
        if (::ioctl(fd_.get(), FIONREAD, &queued) != 0)
            return false;
        stat.inQueue = static_cast<std::uint32_t>(std::max(queued, 0));
        int pendingOut = 0;
        if (::ioctl(fd_.get(), TIOCOUTQ, &pendingOut) == 0)
            stat.outQueue = static_cast<std::uint32_t>(std::max(pendingOut, 0));
        return true;
    }

    int read(char* buffer, int count) override
    {
        if (count <= 0)
            return 0;
        const auto got = ::read(fd_.get(), buffer, static_cast<std::size_t>(count));
        if (got < 0 && isGoneDevice(errno))
            markHungUp();
        const int n = got > 0 ? static_cast<int>(got) : 0;
        std::lock_guard lock(mutex_);
        seenInput_ = std::max(seenInput_ - n, 0);
        if (!rxArmed_) {
            // The event thread stopped watching because these bytes were
            // already reported; now they are gone, new ones must be noticed.
            rxArmed_ = true;
            signalEventFd(eventWake_);
        }
        return n;
    }

    int write(const char* buffer, int count) override
    {
        const auto sent = ::write(fd_.get(), buffer, static_cast<std::size_t>(count));
        if (sent >= 0)
            return static_cast<int>(sent);
        if (errno == EAGAIN || errno == EINTR)
            return 0;
        if (isGoneDevice(errno))
            markHungUp();
        return -1;
    }

    // A write on a non-blocking descriptor is safe from any thread.
    bool writesFromAnyThread() const override { return true; }

    WriteWait waitWritable() override
    {
        for (;;) {
            pollfd fds[2] = {{writeWake_.get(), POLLIN, 0}, {fd_.get(), POLLOUT, 0}};
            const int rc = ::poll(fds, 2, kWriterWaitForever);
            if (rc < 0) {
                if (errno == EINTR)
                    continue;
                return WriteWait::Failed;
            }
            if (fds[0].revents & POLLIN) {
                drainEventFd(writeWake_);
                return WriteWait::Woken;
            }
            if (fds[1].revents & (POLLHUP | POLLERR))
                markHungUp();
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))
                return WriteWait::Failed;
            if (fds[1].revents & POLLOUT)
                return WriteWait::Writable;
        }
    }

    void wakeWriter() override
    {
        if (writeWake_)
            signalEventFd(writeWake_);
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
        if (input) {
            std::lock_guard lock(mutex_);
            seenInput_ = 0;
        }
        const int queue = output && input ? TCIOFLUSH : (output ? TCOFLUSH : TCIFLUSH);
        return ::tcflush(fd_.get(), queue) == 0;
    }

    bool escape(EscapeFunction function) override
    {
        int bits = 0;
        unsigned long request = TIOCMBIS;
        switch (function) {
        case EscapeFunction::SetRts:
            bits = TIOCM_RTS;
            break;
        case EscapeFunction::ClrRts:
            bits = TIOCM_RTS;
            request = TIOCMBIC;
            break;
        case EscapeFunction::SetDtr:
            bits = TIOCM_DTR;
            break;
        case EscapeFunction::ClrDtr:
            bits = TIOCM_DTR;
            request = TIOCMBIC;
            break;
        }
        return ::ioctl(fd_.get(), request, &bits) == 0;
    }

    void close() override
    {
        if (!fd_)
            return;
        // Without TIOCNXCL a pseudo-terminal slave cannot be opened again.
        if (exclusive_)
            ::ioctl(fd_.get(), TIOCNXCL);
        exclusive_ = false;
        ::flock(fd_.get(), LOCK_UN);
        fd_.reset();
        eventWake_.reset();
        writeWake_.reset();
    }

private:
    OpenStatus refuse(int error, const std::string& name)
    {
        auto [reason, detail] = decodeOpenError(error, name);
        return refuseOpen(reason, std::move(detail));
    }

    static int waitMillis(Clock::duration left)
    {
        // Round up so that a wait never ends just before its deadline and spins.
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        // poll() takes an int of milliseconds; a day is far beyond any wait here.
        constexpr long long kLongestPollMs = 24LL * 3600 * 1000;
        return static_cast<int>(std::clamp<long long>(ms, 0, kLongestPollMs));
    }

    // USB adapters (FTDI) otherwise hold received bytes up to 16 ms before
    // passing them on, which costs an acknowledged-block protocol most of its
    // speed. Pseudo-terminals and some drivers do not offer it; that is fine.
    static void requestLowLatency(int fd)
    {
        serial_struct info{};
        if (::ioctl(fd, TIOCGSERIAL, &info) != 0)
            return;
        info.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }

    // Pseudo-terminals and some USB drivers have neither modem lines nor error
    // counters; they are asked once here and then left alone.
    void probeLineMonitoring(int fd)
    {
        int lines = 0;
        modemSupported_ = ::ioctl(fd, TIOCMGET, &lines) == 0;
        lastModem_ = lines;
        serial_icounter_struct counts{};
        countersSupported_ = ::ioctl(fd, TIOCGICOUNT, &counts) == 0;
        lastCounts_ = counts;
    }

    bool monitorsLines() const { return (modemSupported_ || countersSupported_) && !hungUp_; }

    bool watchesInput()
    {
        if (hungUp_ || !(eventMask_ & kEvRxChar))
            return false;
        std::lock_guard lock(mutex_);
        return rxArmed_;
    }

    int inputCount()
    {
        int queued = 0;
        if (::ioctl(fd_.get(), FIONREAD, &queued) != 0) {
            markHungUp();
            return 0;
        }
        return queued;
    }

    // Any thread. The event thread's wait is woken so that it reports the
    // hang-up at once also when a read or a write saw it first.
    void markHungUp()
    {
        if (!hungUp_.exchange(true) && eventWake_)
            signalEventFd(eventWake_);
    }

    // Event thread. Returns the kEv* bits of what changed since the last look.
    std::uint32_t checkLines()
    {
        std::uint32_t events = 0;
        int lines = 0;
        if (modemSupported_ && ::ioctl(fd_.get(), TIOCMGET, &lines) == 0) {
            const int changed = lines ^ lastModem_;
            if (changed & TIOCM_CTS)
                events |= kEvCts;
            if (changed & TIOCM_DSR)
                events |= kEvDsr;
            if (changed & TIOCM_CD)
                events |= kEvRlsd;
            if ((changed & TIOCM_RI) && (lines & TIOCM_RI))
                events |= kEvRing;
            lastModem_ = lines;
        }
        serial_icounter_struct counts{};
        if (countersSupported_ && ::ioctl(fd_.get(), TIOCGICOUNT, &counts) == 0) {
            std::uint32_t errors = 0;
            if (counts.buf_overrun != lastCounts_.buf_overrun)
                errors |= kCeRxOver;
            if (counts.overrun != lastCounts_.overrun)
                errors |= kCeOverrun;
            if (counts.parity != lastCounts_.parity)
                errors |= kCeRxParity;
            if (counts.frame != lastCounts_.frame)
                errors |= kCeFrame;
            if (counts.brk != lastCounts_.brk)
                errors |= kCeBreak;
            lastCounts_ = counts;
            if (errors != 0) {
                std::lock_guard lock(mutex_);
                pendingErrors_ |= errors;
                events |= kEvErr;
            }
        }
        return events;
    }

    UniqueFd fd_;
    UniqueFd eventWake_;  // stop, drained output, and input re-arming
    UniqueFd writeWake_;  // new data, purge and stop for the write thread
    bool exclusive_ = false;

    std::atomic<std::uint32_t> eventMask_{0};
    std::atomic<bool> hungUp_{false};
    std::atomic<bool> externalWake_{false};

    std::mutex mutex_;   // guards the three below, shared by the event thread and readers
    int seenInput_ = 0;  // input bytes already reported as kEvRxChar and not yet read
    bool rxArmed_ = true;
    std::uint32_t pendingErrors_ = 0;

    // Event thread only.
    bool hangUpReported_ = false;  // waitEvent has returned HungUp since the open
    bool modemSupported_ = false;
    bool countersSupported_ = false;
    int lastModem_ = 0;
    serial_icounter_struct lastCounts_{};
    Clock::time_point nextLineCheck_{};
};

}  // namespace

std::vector<PortHolder> findPortHolders(const std::filesystem::path& procRoot, const std::string& devicePath)
{
    struct stat node {};
    if (::stat(devicePath.c_str(), &node) != 0 || !S_ISCHR(node.st_mode))
        return {};
    std::vector<PortHolder> holders;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(procRoot, ec), end; !ec && it != end; it.increment(ec)) {
        const auto pid = parsePid(it->path().filename().string());
        if (!pid || !holdsDevice(it->path() / "fd", node.st_rdev))
            continue;
        std::ifstream comm(it->path() / "comm");
        std::string name;
        std::getline(comm, name);
        holders.push_back({*pid, name});
    }
    std::sort(holders.begin(), holders.end(), [](const auto& a, const auto& b) { return a.pid < b.pid; });
    return holders;
}

std::unique_ptr<SerialDevice> SerialDevice::create()
{
    return std::make_unique<PosixSerialDevice>();
}

}  // namespace kt::serial
