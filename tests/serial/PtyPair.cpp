#include "PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "serial/SpSafeSync.h"

namespace kt::serial::test {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

PtyPair::PtyPair()
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0)
        throw std::runtime_error("ptsname_r failed");
    slavePath_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair()
{
    closeMaster();
    if (control_ >= 0)
        ::close(control_);
}

void PtyPair::send(std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto n = ::write(master_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                throw std::runtime_error("far end cannot send");
            pollfd pfd{master_, POLLOUT, 0};
            ::poll(&pfd, 1, 10);
            continue;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string PtyPair::receive(std::size_t count, std::chrono::milliseconds timeout)
{
    std::string got;
    const auto deadline = Clock::now() + timeout;
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd pfd{master_, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        const auto n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        // EIO: no one holds the slave open at the moment.
        if (n <= 0) {
            ::poll(nullptr, 0, 5);
            continue;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

void PtyPair::closeMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

void PtyPair::stopOutput()
{
    if (control_ < 0)
        control_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (control_ < 0 || ::tcflow(control_, TCOOFF) != 0)
        throw std::runtime_error("cannot stop the port's output");
}

bool PtyPair::resumeOutput()
{
    return control_ >= 0 && ::tcflow(control_, TCOON) == 0;
}

std::chrono::microseconds processCpuTime()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
    const auto micros = usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
    return std::chrono::seconds(seconds) + std::chrono::microseconds(micros);
}

}  // namespace kt::serial::test
