// The simplest possible host, the floor the program is measured against: one
// thread, blocking writes of whole frames and a blocking read of each
// acknowledgement on a raw terminal, no event loop, no worker thread, no
// hand-over. It speaks just enough of the protocol for the update's two
// block phases.
#pragma once

#include "link/Protocol.h"
#include "package/HexSection.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kt::bench {

class FloorHost {
public:
    using Clock = std::chrono::steady_clock;

    // The port at 1,000,000 baud, 8N1, raw; false when it cannot be opened so.
    bool Open(const std::string& port)
    {
        fd_ = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            return false;
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::cfsetispeed(&tio, B1000000);
        ::cfsetospeed(&tio, B1000000);
        return ::tcsetattr(fd_, TCSANOW, &tio) == 0;
    }
    ~FloorHost()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Sends ESC + command + CR and reads the reply: `count` characters, or
    // (count 0) whatever comes within `wait`.
    std::string Command(const std::string& command, std::size_t count,
                        std::chrono::milliseconds wait = std::chrono::milliseconds(250))
    {
        WriteAll(Frame(command));
        return Read(count, wait);
    }

    // The start of the latest phase, then the moment each of its blocks was
    // acknowledged.
    std::vector<Clock::time_point> acks;

    // The loader's core blocks, then "X"; the time from the first block's
    // first character to the last acknowledgement.
    std::optional<double> CorePhase(const Bytes& image, int blocks)
    {
        if (Command("PFLASH", 1).size() != 1)
            return std::nullopt;
        Command("B", 0);
        bool inLoader = false;
        for (int i = 0; i < 5 && !inLoader; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            inLoader = Command("n", 0) == kLoaderIdentity;
        }
        if (!inLoader || Command("D", 2).size() != 2)
            return std::nullopt;
        const auto start = Clock::now();
        acks.assign(1, start);
        for (int k = 0; k < blocks; ++k) {
            const std::string frame = Frame(DataCommandText("W", image.data() + k * kCoreBlock, kCoreBlock));
            WriteAll(frame);
            if (Read(1, std::chrono::milliseconds(250)) != "\r")
                return std::nullopt;
            acks.push_back(Clock::now());
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        Command("X", 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return seconds;
    }

    // The flasher's numbered media blocks, the last one padded with 0xFF.
    std::optional<double> MediaPhase(const Bytes& image)
    {
        if (Command("PFLASH", 1).size() != 1 || Command("n", kFlasherIdentity.size()) != kFlasherIdentity)
            return std::nullopt;
        const int blocks = static_cast<int>((image.size() + kMediaBlock - 1) / kMediaBlock);
        std::array<std::uint8_t, 2 + kMediaBlock> block{};
        const auto start = Clock::now();
        acks.assign(1, start);
        for (int k = 0; k < blocks; ++k) {
            block[0] = static_cast<std::uint8_t>(k & 0xFF);
            block[1] = static_cast<std::uint8_t>(k >> 8);
            const std::size_t offset = static_cast<std::size_t>(k) * kMediaBlock;
            const std::size_t available = std::min<std::size_t>(kMediaBlock, image.size() - offset);
            std::copy_n(image.data() + offset, available, block.begin() + 2);
            std::fill(block.begin() + 2 + static_cast<std::ptrdiff_t>(available), block.end(), 0xFF);
            WriteAll(Frame(DataCommandText("F", block.data(), block.size())));
            if (Read(1, std::chrono::milliseconds(250)) != "\r")
                return std::nullopt;
            acks.push_back(Clock::now());
        }
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

private:
    static constexpr int kCoreBlock = 260;
    static constexpr std::size_t kMediaBlock = 512;

    void WriteAll(const std::string& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

    std::string Read(std::size_t count, std::chrono::milliseconds wait)
    {
        std::string got;
        const auto deadline = Clock::now() + wait;
        while (count == 0 || got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() < 0)
                break;
            pollfd fd{fd_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count()) + 1) <= 0)
                break;
            char buffer[64];
            const std::size_t want = count == 0 ? sizeof buffer : std::min(sizeof buffer, count - got.size());
            const ssize_t n = ::read(fd_, buffer, want);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    int fd_ = -1;
};

}  // namespace kt::bench
