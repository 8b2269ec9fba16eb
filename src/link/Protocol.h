// The device's wire conventions: command frames, the hexadecimal payload
// codec and its check byte, the identity answers, and the clock fields.
#pragma once

#include "package/HexSection.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace kt {

inline constexpr char kEsc = '\x1B';
inline constexpr char kCr = '\x0D';
inline constexpr std::string_view kLoaderIdentity = "DRAXO_LOADER";
inline constexpr std::string_view kFlasherIdentity = "DRAXO_FLASHER";

// The 8-bit sum of `count` bytes of `data`, seeded with 0xAA.
std::uint8_t FrameChecksum(const std::uint8_t* data, std::size_t count);
inline std::uint8_t FrameChecksum(const Bytes& data)
{
    return FrameChecksum(data.data(), data.size());
}

// The payload codec in the wire's terms (see codec/HexCodec.h).
// Each byte as two upper-case hexadecimal digits.
std::string BytesToHex(const std::uint8_t* data, std::size_t count);

// Decodes pairs of hexadecimal digits of either case. False for an odd length
// or a character that is not a digit; `out` is then not to be used.
bool HexToBytes(std::string_view text, Bytes& out);

// The decimal text of `number`, padded with "0" in front to at least `width`.
std::string PadNumber(long long number, int width);

// The device clock record (at least 6 bytes: day, month, year - 2000, hour,
// minute, second) as "5.03.2026" and "07:04:00".
std::string FormatDeviceDate(const Bytes& clock);
std::string FormatDeviceTime(const Bytes& clock);

// The computer's local date and time, read once.
std::tm ReadLocalClock();

// The six bytes that set the device clock, from one reading of the local clock.
std::array<std::uint8_t, 6> ClockPayload(const std::tm& local);

// The framed command: ESC, the command, CR.
std::string Frame(std::string_view command);
// The same written into `frame`, which keeps its storage from frame to frame.
void FormatFrame(std::string& frame, std::string_view command);
// The framed data command, ESC + DataCommandText + CR, written into `frame`.
void FormatDataFrame(std::string& frame, std::string_view command, const std::uint8_t* data, std::size_t count);
// A data command's text between ESC and CR: the name, the data in hex, the check byte.
std::string DataCommandText(std::string_view command, const std::uint8_t* data, std::size_t count);

}  // namespace kt
