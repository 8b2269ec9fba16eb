#include "InProcessDevice.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace kt::sim {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Characters the port may have on their way to the device, as a tty's output
// queue holds; writes beyond it are refused until the line has carried some.
constexpr std::size_t kLineQueueSize = 4096;
// Keeps a deadline computed from a caller's timeout representable.
constexpr std::chrono::milliseconds kLongestWait = 24h;

Clock::time_point DeadlineAfter(std::chrono::milliseconds timeout)
{
    return Clock::now() + std::clamp(timeout, std::chrono::milliseconds::zero(), kLongestWait);
}

// A character on the line, and the moment it reaches the other end.
struct Timed {
    Clock::time_point at;
    char c;
};

}  // namespace

struct InProcessDevice::Impl {
    Impl(SimOptions options, std::string name)
        : baud(options.baud), portName(std::move(name)), engine(std::move(options))
    {}

    // Does everything due by `now`: the device takes the characters that have
    // arrived, and replies that have crossed the line reach the port. Called
    // with the mutex held before anything is looked at.
    void Advance(Clock::time_point now);
    void React(Clock::time_point arrived, const Reaction& reaction);
    void Disappear();
    // With the mutex held: waits until done() or the deadline, doing what is
    // due meanwhile; returns done().
    template <class Done>
    bool WaitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Done done)
    {
        for (;;) {
            const auto now = Clock::now();
            Advance(now);
            if (done())
                return true;
            if (now >= deadline)
                return false;
            auto until = deadline;
            if (const auto frameEnd = NextFrameEnd())
                until = std::min(until, *frameEnd);
            changed.wait_until(lock, until);
        }
    }
    Clock::duration CharacterTime() const { return std::chrono::duration_cast<Clock::duration>(LineTime(baud, 1)); }
    // When the next frame can be complete: the device reacts only to a CR.
    std::optional<Clock::time_point> NextFrameEnd() const
    {
        if (crArrivals.empty())
            return std::nullopt;
        return crArrivals.front();
    }

    const int baud;
    const std::string portName;

    std::mutex mutex;
    // Anything a wait may be waiting for: a new character on the line, a
    // frame, a wake, a vanish, a close.
    std::condition_variable changed;

    // Guarded by mutex.
    DeviceEngine engine;
    bool stopped = false;
    bool vanished = false;
    const Port* holder = nullptr;              // the port that has the device open
    std::deque<Timed> toDevice;                // written by the port, not yet arrived, in order of arrival
    std::deque<Clock::time_point> crArrivals;  // arrival of each CR in toDevice
    Clock::time_point toDeviceFree{};          // when the last written character arrives
    std::deque<Timed> toPort;                  // reply characters on the line, in order
    Clock::time_point toPortFree{};            // when the last reply character arrives
    std::string received;                      // replies that reached the port, unread
};

void InProcessDevice::Impl::Advance(Clock::time_point now)
{
    bool framed = false;
    while (!vanished && !toDevice.empty() && toDevice.front().at <= now) {
        const Timed t = toDevice.front();
        toDevice.pop_front();
        if (t.c == kCr)
            crArrivals.pop_front();
        if (stopped)
            continue;
        if (auto reaction = engine.Push(t.c)) {
            framed = true;
            React(t.at, *reaction);
        }
    }
    while (!toPort.empty() && toPort.front().at <= now) {
        // A closed port hears nothing: what arrives meanwhile is lost.
        if (holder)
            received += toPort.front().c;
        toPort.pop_front();
    }
    if (framed)
        changed.notify_all();
}

void InProcessDevice::Impl::React(Clock::time_point arrived, const Reaction& reaction)
{
    if (reaction.vanish) {
        Disappear();
        return;
    }
    if (reaction.reply.empty())
        return;
    const Clock::time_point start = std::max(arrived + reaction.delay, toPortFree);
    const std::string& reply = reaction.reply;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        const Clock::time_point due =
            baud == 0 ? start : start + std::chrono::duration_cast<Clock::duration>(LineTime(baud, i + 1));
        toPort.push_back({due, reply[i]});
    }
    toPortFree = toPort.back().at;
}

void InProcessDevice::Impl::Disappear()
{
    // What the device had not sent yet dies with it, and so does the line.
    vanished = true;
    toDevice.clear();
    crArrivals.clear();
    toPort.clear();
    received.clear();
    changed.notify_all();
}

// One open of the device's port. Its own state is guarded by the device's mutex too.
class InProcessDevice::Port final : public serial::SerialDevice {
public:
    explicit Port(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
    ~Port() override { close(); }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    OpenStatus open(const std::string& name) override
    {
        close();
        std::lock_guard lock(impl_->mutex);
        if (name != impl_->portName || impl_->vanished)
            return OpenStatus::NotFound;
        if (impl_->holder)
            return OpenStatus::Busy;
        // Replies that arrived while the port was closed are lost.
        impl_->Advance(Clock::now());
        impl_->holder = this;
        impl_->received.clear();
        open_ = true;
        eventMask_ = 0;
        reported_ = 0;
        hangUpReported_ = false;
        eventWake_ = false;
        writerWake_ = false;
        return OpenStatus::Opened;
    }

    bool setTimeouts() override { return isOpen(); }
    bool setupQueues(int, int) override { return isOpen(); }

    bool setEventMask(std::uint32_t mask) override
    {
        {
            std::lock_guard lock(impl_->mutex);
            eventMask_ = mask;
            if (mask == 0)
                eventWake_ = true;
        }
        impl_->changed.notify_all();
        return isOpen();
    }

    bool setState(const serial::Dcb& dcb) override
    {
        const bool valid = dcb.baudRate != 0 && dcb.byteSize >= 5 && dcb.byteSize <= 8 &&
                           dcb.parity <= serial::kSpaceParity && dcb.stopBits <= serial::kTwoStopBits;
        std::lock_guard lock(impl_->mutex);
        if (!open_ || !valid)
            return false;
        dcb_ = dcb;
        dcb_.dcbLength = serial::kDcbSize;
        return true;
    }

    bool getState(serial::Dcb& dcb) override
    {
        std::lock_guard lock(impl_->mutex);
        if (!open_)
            return false;
        dcb = dcb_;
        return true;
    }

    WaitStatus waitEvent(std::uint32_t& mask, std::chrono::milliseconds timeout) override
    {
        mask = 0;
        std::unique_lock lock(impl_->mutex);
        const auto deadline = DeadlineAfter(timeout);
        for (;;) {
            const auto now = Clock::now();
            impl_->Advance(now);
            if (open_ && impl_->vanished && !hangUpReported_) {
                hangUpReported_ = true;
                return WaitStatus::HungUp;
            }
            if (eventWake_) {
                eventWake_ = false;
                return WaitStatus::Woken;
            }
            const bool watchesInput = open_ && (eventMask_ & serial::kEvRxChar) != 0 && !impl_->vanished;
            if (watchesInput && impl_->received.size() > reported_) {
                reported_ = impl_->received.size();
                mask = serial::kEvRxChar;
                return WaitStatus::Event;
            }
            if (now >= deadline)
                return WaitStatus::Timeout;
            // Woken early by whatever changes the line; else the next moment
            // something can happen: a frame completes (a reply or a vanish
            // may follow), or a reply character arrives.
            auto until = deadline;
            if (const auto frameEnd = impl_->NextFrameEnd())
                until = std::min(until, *frameEnd);
            if (watchesInput && !impl_->toPort.empty())
                until = std::min(until, impl_->toPort.front().at);
            impl_->changed.wait_until(lock, until);
        }
    }

    void wakeEventWait() override
    {
        {
            std::lock_guard lock(impl_->mutex);
            eventWake_ = true;
        }
        impl_->changed.notify_all();
    }

    bool clearCommError(std::uint32_t& errors, serial::ComStat& stat) override
    {
        errors = 0;
        stat = serial::ComStat{};
        std::lock_guard lock(impl_->mutex);
        if (!open_)
            return false;
        impl_->Advance(Clock::now());
        stat.inQueue = static_cast<std::uint32_t>(impl_->received.size());
        stat.outQueue = static_cast<std::uint32_t>(impl_->toDevice.size());
        return true;
    }

    int read(char* buffer, int count) override
    {
        if (count <= 0)
            return 0;
        std::lock_guard lock(impl_->mutex);
        if (!open_ || impl_->vanished)
            return 0;
        impl_->Advance(Clock::now());
        std::string& received = impl_->received;
        const std::size_t n = std::min(static_cast<std::size_t>(count), received.size());
        std::copy_n(received.begin(), n, buffer);
        received.erase(0, n);
        reported_ = reported_ > n ? reported_ - n : 0;
        return static_cast<int>(n);
    }

    int write(const char* buffer, int count) override
    {
        std::size_t taken = 0;
        {
            std::lock_guard lock(impl_->mutex);
            if (!open_ || impl_->vanished)
                return -1;
            const auto now = Clock::now();
            impl_->Advance(now);
            if (impl_->vanished)
                return -1;
            const std::size_t room = kLineQueueSize - std::min(kLineQueueSize, impl_->toDevice.size());
            taken = std::min(static_cast<std::size_t>(std::max(count, 0)), room);
            for (std::size_t i = 0; i < taken; ++i) {
                const auto at = impl_->baud == 0 ? now : std::max(now, impl_->toDeviceFree) + impl_->CharacterTime();
                impl_->toDeviceFree = at;
                impl_->toDevice.push_back({at, buffer[i]});
                if (buffer[i] == kCr)
                    impl_->crArrivals.push_back(at);
            }
            // An unpaced line delivers at once.
            impl_->Advance(now);
        }
        // A waiting event thread learns of the new frame end.
        impl_->changed.notify_all();
        return static_cast<int>(taken);
    }

    WriteWait waitWritable() override
    {
        std::unique_lock lock(impl_->mutex);
        for (;;) {
            impl_->Advance(Clock::now());
            if (writerWake_) {
                writerWake_ = false;
                return WriteWait::Woken;
            }
            if (!open_ || impl_->vanished)
                return WriteWait::Failed;
            const std::size_t onTheLine = impl_->toDevice.size();
            if (onTheLine < kLineQueueSize)
                return WriteWait::Writable;
            // Room for one comes when the character that fills the queue has arrived.
            impl_->changed.wait_until(lock, impl_->toDevice[onTheLine - kLineQueueSize].at);
        }
    }

    void wakeWriter() override
    {
        {
            std::lock_guard lock(impl_->mutex);
            writerWake_ = true;
        }
        impl_->changed.notify_all();
    }

    bool HungUp() const override
    {
        std::lock_guard lock(impl_->mutex);
        return open_ && impl_->vanished;
    }

    bool purge(std::uint32_t flags) override
    {
        {
            std::lock_guard lock(impl_->mutex);
            if (!open_)
                return false;
            const auto now = Clock::now();
            impl_->Advance(now);
            if (flags & (serial::kPurgeRxAbort | serial::kPurgeRxClear)) {
                impl_->received.clear();
                reported_ = 0;
            }
            if (flags & (serial::kPurgeTxAbort | serial::kPurgeTxClear)) {
                impl_->toDevice.clear();
                impl_->crArrivals.clear();
                impl_->toDeviceFree = std::min(impl_->toDeviceFree, now);
            }
            if (flags & serial::kPurgeTxAbort)
                writerWake_ = true;
        }
        impl_->changed.notify_all();
        return true;
    }

    bool escape(serial::EscapeFunction) override { return isOpen(); }

    void close() override
    {
        {
            std::lock_guard lock(impl_->mutex);
            if (!open_)
                return;
            impl_->Advance(Clock::now());
            if (impl_->holder == this) {
                impl_->holder = nullptr;
                impl_->received.clear();
            }
            open_ = false;
        }
        impl_->changed.notify_all();
    }

private:
    bool isOpen() const
    {
        std::lock_guard lock(impl_->mutex);
        return open_;
    }

    const std::shared_ptr<Impl> impl_;
    // Guarded by the device's mutex.
    bool open_ = false;
    std::uint32_t eventMask_ = 0;
    std::size_t reported_ = 0;  // received characters already reported as kEvRxChar, not yet read
    bool hangUpReported_ = false;
    bool eventWake_ = false;
    bool writerWake_ = false;
    serial::Dcb dcb_{};
};

InProcessDevice::InProcessDevice(SimOptions options, std::string portName)
{
    if (options.baud < 0)
        throw std::invalid_argument("baud rate must not be negative");
    if (options.deaf)
        throw std::invalid_argument("a deaf device is simulated on a pseudo-terminal only");
    impl_ = std::make_shared<Impl>(std::move(options), std::move(portName));
}

InProcessDevice::~InProcessDevice()
{
    Vanish();
}

const std::string& InProcessDevice::PortName() const
{
    return impl_->portName;
}

serial::SerialDeviceFactory InProcessDevice::Factory() const
{
    return [impl = impl_] { return std::make_unique<Port>(impl); };
}

void InProcessDevice::Stop()
{
    {
        std::lock_guard lock(impl_->mutex);
        impl_->Advance(Clock::now());
        impl_->stopped = true;
        impl_->toPort.clear();
    }
    impl_->changed.notify_all();
}

void InProcessDevice::Vanish()
{
    std::lock_guard lock(impl_->mutex);
    impl_->Advance(Clock::now());
    if (!impl_->vanished)
        impl_->Disappear();
}

bool InProcessDevice::Vanished() const
{
    std::lock_guard lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->vanished;
}

Bytes InProcessDevice::CoreImage() const
{
    std::lock_guard lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->engine.CoreImage();
}

Bytes InProcessDevice::MediaImage() const
{
    std::lock_guard lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->engine.MediaImage();
}

std::vector<std::string> InProcessDevice::Frames() const
{
    std::lock_guard lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->engine.Frames();
}

bool InProcessDevice::InLoader() const
{
    std::lock_guard lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->engine.InLoader();
}

std::optional<ClockSetting> InProcessDevice::LastClockSet() const
{
    std::lock_guard lock(impl_->mutex);
    impl_->Advance(Clock::now());
    return impl_->engine.LastClockSet();
}

bool InProcessDevice::WaitForFrames(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    impl_->WaitUntil(lock, DeadlineAfter(timeout),
                     [&] { return impl_->engine.Frames().size() >= count || impl_->vanished; });
    return impl_->engine.Frames().size() >= count;
}

bool InProcessDevice::WaitForVanish(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    return impl_->WaitUntil(lock, DeadlineAfter(timeout), [&] { return impl_->vanished; });
}

}  // namespace kt::sim
