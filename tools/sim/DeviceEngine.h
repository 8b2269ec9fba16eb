// The ТЕЛВИКС's side of the command protocol, without any I/O: received
// characters in, replies out, with the device's modes, memories and faults.
// It keeps its own frame and hex codec on purpose, as an independent oracle of the program's.
#pragma once

#include "SimOptions.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kt::sim {

inline constexpr char kEsc = '\x1B';
inline constexpr char kCr = '\r';

inline constexpr std::size_t kCoreBlockSize = 260;
inline constexpr std::size_t kMediaBlockSize = 512;

// What the device does about one complete frame.
struct Reaction {
    std::string command;                 // the command name, or the frame text when it names none
    std::string reply;                   // empty: the device stays silent
    std::chrono::milliseconds delay{0};  // extra time before the reply starts
    bool vanish = false;                 // the device disappears instead of answering
};

// The check byte that makes 0xAA + data + check a multiple of 256.
std::uint8_t CheckByte(const Bytes& data);

// Frames as the program sends them, for clients of the simulator:
// ESC + command + CR, and ESC + command + data in hex + check byte + CR.
std::string CommandFrame(std::string_view command);
std::string DataFrame(std::string_view command, const Bytes& data);

// Local civil time of the host, as seconds counted as if it were UTC.
std::chrono::sys_seconds HostLocalTime();

// Frames() entries:
//   - the frame's text between ESC and CR ("PFLASH", "n", "T080C1A09050317"),
//   - except well-formed "W" and "F" frames, shortened to the count of data
//     bytes (check byte not counted) and, for "F", the block number:
//     "W[260]", "F[514]#258".
// Characters outside a frame are ignored and not listed.
class DeviceEngine {
public:
    using LocalClock = std::function<std::chrono::sys_seconds()>;

    explicit DeviceEngine(SimOptions options = {}, LocalClock localNow = HostLocalTime);

    // Takes one received character; a reaction comes when it ends a frame.
    std::optional<Reaction> Push(char c);
    // All reactions to the frames that `received` completes.
    std::vector<Reaction> Feed(std::string_view received);

    bool InLoader() const { return inLoader_; }
    bool Vanished() const { return vanished_; }
    // Core blocks of the latest loader session, in the order taken.
    const Bytes& CoreImage() const { return core_; }
    // Media blocks by number, up to the highest taken; blocks never written read 0xFF.
    const Bytes& MediaImage() const { return media_; }
    const std::vector<std::string>& Frames() const { return frames_; }
    std::optional<ClockSetting> LastClockSet() const { return lastClockSet_; }

private:
    Reaction HandleFrame(const std::string& body);
    // The normal answer of the device; may set vanish.
    void Execute(const std::string& name, const std::string& body, Reaction& reaction);
    void WriteCoreBlock(const Bytes& data, Reaction& reaction);
    void WriteMediaBlock(const Bytes& data, Reaction& reaction);
    bool SetClock(const Bytes& data);
    ClockRecord ReadClock() const;

    SimOptions options_;
    LocalClock localNow_;

    bool inFrame_ = false;
    std::string body_;

    bool inLoader_;
    bool loaderRan_ = false;
    bool vanished_ = false;
    int frameCount_ = 0;
    Bytes core_;
    Bytes media_;
    std::map<int, int> coreRefusalsLeft_;
    std::map<int, int> coreLossesLeft_;
    std::map<std::string, int> answersLeft_;  // commands that go silent once these run out
    std::vector<std::string> frames_;

    std::optional<ClockRecord> frozenClock_;
    std::chrono::seconds clockOffset_{0};  // device clock minus host clock, when following the host
    std::optional<ClockSetting> lastClockSet_;
};

}  // namespace kt::sim
