// What the simulated ТЕЛВИКС answers, how fast its line is, and which faults it plays.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kt::sim {

using Bytes = std::vector<std::uint8_t>;

// The clock record the device reports: day, month, year - 2000, hour, minute,
// second, and a seventh byte that carries nothing.
using ClockRecord = std::array<std::uint8_t, 7>;
// The clock payload the device is set with: the first six fields above.
using ClockSetting = std::array<std::uint8_t, 6>;

// Commands are named as on the wire: "PFLASH", "n", "v", "d", "h", "t", "s",
// "T", "B", "D", "W", "F", "X".
struct SimOptions {
    // Answers.
    std::uint8_t model = 0x21;
    std::optional<std::string> modelReply;  // sent instead of the two model digits ("ZZ"; "" = no answer)
    std::string softwareVersion = "3.0.12";
    std::string softwareDate = "10.12.2026";
    std::string hardwareVersion = "M2 rev.B";
    std::string identity = "TLV-M2-00042";  // padded with blanks or cut to 12 characters
    bool badIdentityCheck = false;          // the identity record's check byte is off by one
    std::optional<ClockRecord> clock;       // a frozen clock; empty: the host's local clock
    std::string flasherIdentity = "DRAXO_FLASHER";
    std::string loaderIdentity = "DRAXO_LOADER";
    // What the flasher answers once the loader has run: a flasher broken by the update.
    std::optional<std::string> flasherIdentityAfterLoader;
    bool startInLoader = false;
    bool pingAnswersEsc = false;  // "PFLASH" is answered with a lone ESC instead of a lone CR

    // Line: characters per second are baud / 10; 0 means as fast as the port goes.
    int baud = 0;
    std::chrono::milliseconds extraDelay{0};                   // before every reply
    std::map<std::string, std::chrono::milliseconds> delayOn;  // before the replies to one command, on top

    // Faults, by command name.
    std::set<std::string> silentOn;                // the frame is lost: no effect, no reply
    std::map<std::string, int> silentAfter;        // answered this many times, then lost like silentOn
    std::set<std::string> refuseOn;                // refused with a lone ESC, no effect
    std::map<std::string, std::string> garbageOn;  // the command works, this text is sent instead of its reply
    std::map<std::string, std::string> appendOn;   // the command works, this text follows its reply
    std::map<int, int> refuseCoreBlock;            // core block k -> refused that many times, then taken
    std::map<int, int> loseCoreBlock;              // core block k -> its frame lost that many times, then taken
    std::set<int> refuseMediaBlock;                // media block numbers that are always refused
    std::optional<int> vanishAfterFrames;          // answers this many frames, vanishes at the next one
    std::optional<int> vanishAtCoreBlock;          // vanishes when this core block arrives
    std::optional<int> vanishAtMediaBlock;         // vanishes when this media block number arrives
    bool deaf = false;                             // takes no input at all: the host's output backs up (pty only)
};

// How long `chars` characters take on a line of `baud` (> 0), at 10 bits each.
inline std::chrono::nanoseconds LineTime(int baud, std::size_t chars)
{
    return std::chrono::nanoseconds(static_cast<std::int64_t>(chars) * 10'000'000'000LL / baud);
}

}  // namespace kt::sim
