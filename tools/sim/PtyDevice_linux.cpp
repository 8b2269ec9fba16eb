#include "PtyDevice.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace kt::sim {
namespace {

// How long before a due reply the device stops sleeping and watches the clock.
constexpr auto kSpinWindow = std::chrono::microseconds(150);

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Replies leave in chunks of about this much line time: fine enough that the
// program sees a long reply trickle in, coarse enough not to wake per character.
constexpr auto kChunkLineTime = 1ms;
constexpr std::size_t kReadSize = 4096;
constexpr std::size_t kPtsNameSize = 64;

[[noreturn]] void ThrowErrno(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

class UniqueFd {
public:
    UniqueFd() = default;
    ~UniqueFd() { Reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void Reset(int fd = -1)
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

timespec ToTimespec(Clock::duration d)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(d, Clock::duration::zero()));
    return {static_cast<time_t>(ns.count() / 1'000'000'000), static_cast<long>(ns.count() % 1'000'000'000)};
}

// A reply chunk, written when `due` comes.
struct Pending {
    Clock::time_point due;
    std::string bytes;
    bool lastOfAnAck = false;  // the whole reply was one character: an acknowledgement
};

}  // namespace

struct PtyDevice::Impl {
    explicit Impl(SimOptions options);
    ~Impl() { Stop(); }

    void Stop();
    void CloseLine();
    void Run();
    bool Receive();
    void Schedule(Clock::time_point arrived, const Reaction& reaction);
    bool Deliver();
    // Line time of `chars` characters at 10 bits each.
    Clock::duration LineTime(std::size_t chars) const
    {
        return std::chrono::duration_cast<Clock::duration>(sim::LineTime(baud_, chars));
    }

    const int baud_;
    const bool deaf_;
    std::string slavePath_;
    UniqueFd master_;
    UniqueFd slave_;  // held so that the master never reads EIO between the program's opens
    UniqueFd stop_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;            // a frame came, or the device vanished
    DeviceEngine engine_;                                // guarded by mutex_
    bool vanished_ = false;                              // guarded by mutex_
    std::vector<std::chrono::nanoseconds> turnarounds_;  // guarded by mutex_

    // Worker thread only.
    Clock::time_point rxArrived_{};               // when the last received character finished arriving
    Clock::time_point txFree_{};                  // when the last scheduled reply character leaves the line
    std::deque<Pending> out_;                     // in order of due time
    std::optional<Clock::time_point> replySent_;  // an acknowledgement left the line then: the host's turn
    bool writeBlocked_ = false;                   // the program is not reading; wait for room
    std::optional<Clock::time_point> vanishAt_;

    std::mutex controlMutex_;
    std::thread worker_;
};

PtyDevice::Impl::Impl(SimOptions options) : baud_(options.baud), deaf_(options.deaf), engine_(std::move(options))
{
    if (baud_ < 0)
        throw std::invalid_argument("baud rate must not be negative");

    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_)
        ThrowErrno("posix_openpt");
    if (::grantpt(master_.Get()) != 0)
        ThrowErrno("grantpt");
    if (::unlockpt(master_.Get()) != 0)
        ThrowErrno("unlockpt");
    char name[kPtsNameSize];
    if (const int err = ::ptsname_r(master_.Get(), name, sizeof name); err != 0)
        throw std::system_error(err, std::generic_category(), "ptsname_r");
    slavePath_ = name;

    slave_.Reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave_)
        ThrowErrno("open pty slave");
    // Raw from the start, so that nothing echoes or translates before the
    // program sets its own line settings.
    termios tio{};
    if (::tcgetattr(slave_.Get(), &tio) != 0)
        ThrowErrno("tcgetattr");
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(slave_.Get(), TCSANOW, &tio) != 0)
        ThrowErrno("tcsetattr");

    const int flags = ::fcntl(master_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(master_.Get(), F_SETFL, flags | O_NONBLOCK) != 0)
        ThrowErrno("fcntl O_NONBLOCK");

    stop_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_)
        ThrowErrno("eventfd");

    worker_ = std::thread([this] { Run(); });
}

void PtyDevice::Impl::Stop()
{
    std::lock_guard control(controlMutex_);
    if (!worker_.joinable())
        return;
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of a counter overflow.
    [[maybe_unused]] const auto written = ::write(stop_.Get(), &one, sizeof one);
    worker_.join();
}

void PtyDevice::Impl::CloseLine()
{
    // Marked first, so that whoever sees the hang-up also sees Vanished().
    {
        std::lock_guard lock(mutex_);
        vanished_ = true;
    }
    changed_.notify_all();
    // Master before slave: closing the master is the hang-up the program sees.
    master_.Reset();
    slave_.Reset();
}

void PtyDevice::Impl::Run()
{
    // Replies are timed to the microsecond; the default timer slack of this
    // thread (50 us) would add itself to every paced reply.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    for (;;) {
        // A deaf device leaves the line's input queue to fill.
        pollfd fds[2] = {{stop_.Get(), POLLIN, 0}, {master_.Get(), static_cast<short>(deaf_ ? 0 : POLLIN), 0}};
        std::optional<Clock::time_point> next = vanishAt_;
        if (!out_.empty()) {
            if (writeBlocked_)
                fds[1].events |= POLLOUT;
            else if (!next || out_.front().due < *next)
                next = out_.front().due;
        }
        timespec wait{};
        const timespec* timeout = nullptr;  // nothing due: wait for input or stop, however long
        if (next) {
            // The last stretch before a paced reply is spun, not slept: a
            // timer wakes tens of microseconds late, and a real device answers
            // on time. Only paced lines come close enough to spin.
            const auto left = *next - Clock::now();
            wait = ToTimespec(left < kSpinWindow ? Clock::duration::zero() : left - kSpinWindow);
            timeout = &wait;
        }
        if (::ppoll(fds, 2, timeout, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents != 0)
            return;
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !Receive())
            return;
        if ((fds[1].revents & POLLOUT) != 0)
            writeBlocked_ = false;
        if (!Deliver())
            return;
    }
}

// False when the line is gone and there is nothing more to serve.
bool PtyDevice::Impl::Receive()
{
    char buffer[kReadSize];
    const ssize_t n = ::read(master_.Get(), buffer, sizeof buffer);
    if (n < 0)
        return errno == EAGAIN || errno == EINTR;
    if (n == 0)
        return false;

    const Clock::time_point readAt = Clock::now();
    std::vector<std::pair<Clock::time_point, Reaction>> reactions;
    {
        std::lock_guard lock(mutex_);
        // The first character after a whole reply ends the host's turn.
        if (replySent_ && out_.empty()) {
            turnarounds_.push_back(readAt - *replySent_);
            replySent_.reset();
        }
        for (ssize_t i = 0; i < n; ++i) {
            rxArrived_ = baud_ == 0 ? readAt : std::max(readAt, rxArrived_) + LineTime(1);
            if (auto r = engine_.Push(buffer[i]))
                reactions.emplace_back(rxArrived_, std::move(*r));
        }
    }
    if (!reactions.empty())
        changed_.notify_all();
    for (const auto& [arrived, reaction] : reactions)
        Schedule(arrived, reaction);
    return true;
}

void PtyDevice::Impl::Schedule(Clock::time_point arrived, const Reaction& reaction)
{
    if (reaction.vanish) {
        // What the device had not sent yet dies with it.
        while (!out_.empty() && out_.back().due > arrived)
            out_.pop_back();
        vanishAt_ = arrived;
        return;
    }
    if (vanishAt_)
        return;
    if (reaction.reply.empty())
        return;
    const Clock::time_point start = std::max(arrived + reaction.delay, txFree_);
    if (baud_ == 0) {
        out_.push_back({start, reaction.reply, reaction.reply.size() == 1});
        txFree_ = start;
        return;
    }
    const auto charsPerSecond = static_cast<std::size_t>(baud_ / 10);
    const std::size_t chunk = std::max<std::size_t>(1, charsPerSecond * kChunkLineTime.count() / 1000);
    const std::string& reply = reaction.reply;
    for (std::size_t i = 0; i < reply.size(); i += chunk) {
        const std::size_t len = std::min(chunk, reply.size() - i);
        out_.push_back({start + LineTime(i + len), reply.substr(i, len), reply.size() == 1});
    }
    txFree_ = start + LineTime(reply.size());
}

// Writes what is due, then vanishes when that is due. False once the device
// vanished or the line broke.
bool PtyDevice::Impl::Deliver()
{
    while (!out_.empty() && !writeBlocked_) {
        Pending& p = out_.front();
        if (p.due > Clock::now())
            break;
        const ssize_t n = ::write(master_.Get(), p.bytes.data(), p.bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                writeBlocked_ = true;
                break;
            }
            return false;
        }
        p.bytes.erase(0, static_cast<std::size_t>(n));
        if (p.bytes.empty()) {
            const bool ack = p.lastOfAnAck;
            out_.pop_front();
            if (ack && out_.empty())
                replySent_ = Clock::now();
        }
    }
    if (vanishAt_ && *vanishAt_ <= Clock::now()) {
        out_.clear();
        CloseLine();
        return false;
    }
    return true;
}

PtyDevice::PtyDevice(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options)))
{}

PtyDevice::~PtyDevice() = default;

const std::string& PtyDevice::SlavePath() const
{
    return impl_->slavePath_;
}

void PtyDevice::Stop()
{
    impl_->Stop();
}

void PtyDevice::Vanish()
{
    impl_->Stop();
    // The worker is gone; its descriptors are ours now.
    impl_->CloseLine();
}

bool PtyDevice::Vanished() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->vanished_;
}

Bytes PtyDevice::CoreImage() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->engine_.CoreImage();
}

Bytes PtyDevice::MediaImage() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->engine_.MediaImage();
}

std::vector<std::string> PtyDevice::Frames() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->engine_.Frames();
}

bool PtyDevice::InLoader() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->engine_.InLoader();
}

std::optional<ClockSetting> PtyDevice::LastClockSet() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->engine_.LastClockSet();
}

std::vector<std::chrono::nanoseconds> PtyDevice::Turnarounds() const
{
    std::lock_guard lock(impl_->mutex_);
    return impl_->turnarounds_;
}

bool PtyDevice::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex_);
    return impl_->changed_.wait_for(lock, timeout, [&] {
        return impl_->engine_.Frames().size() >= count || impl_->vanished_;
    }) && impl_->engine_.Frames().size() >= count;
}

bool PtyDevice::WaitForVanish(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex_);
    return impl_->changed_.wait_for(lock, timeout, [&] { return impl_->vanished_; });
}

}  // namespace kt::sim
