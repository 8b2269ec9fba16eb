// The program's end of the simulated port, for the tests: opens the slave
// path as a serial port, writes frames, reads replies with generous timeouts.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <system_error>

namespace kt::sim::test {

using namespace std::chrono_literals;

// Far above any reply time, for a loaded two-core machine.
inline constexpr auto kReplyTimeout = 5s;

class PtyClient {
public:
    explicit PtyClient(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (fd_ < 0)
            throw std::system_error(errno, std::generic_category(), "open " + path);
    }
    ~PtyClient()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    void Write(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw std::system_error(errno, std::generic_category(), "write");
            done += static_cast<std::size_t>(n);
        }
    }

    // Up to `count` characters; fewer when the timeout passes or the line hangs up.
    std::string Read(std::size_t count, std::chrono::milliseconds timeout = kReplyTimeout)
    {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - out.size()));
            if (n <= 0)
                break;
            out.append(buffer, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Writes a frame and reads a reply of `count` characters.
    std::string Ask(const std::string& frame, std::size_t count)
    {
        Write(frame);
        return Read(count);
    }

    // Waits for the line to hang up: true when a read ends with 0 or EIO.
    bool WaitForHangUp(std::chrono::milliseconds timeout = kReplyTimeout)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return false;
        char c;
        const ssize_t n = ::read(fd_, &c, 1);
        return n == 0 || (n < 0 && errno == EIO);
    }

private:
    int fd_;
};

}  // namespace kt::sim::test
