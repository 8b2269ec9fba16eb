#include "link/Protocol.h"

#include "codec/HexCodec.h"
#include "platform/LocalClock.h"

#include <algorithm>
#include <ctime>
#include <utility>

namespace kt {

std::uint8_t FrameChecksum(const std::uint8_t* data, std::size_t count)
{
    unsigned sum = 0xAA;
    for (std::size_t i = 0; i < count; ++i)
        sum += data[i];
    return static_cast<std::uint8_t>(sum);
}

std::string BytesToHex(const std::uint8_t* data, std::size_t count)
{
    return EncodeHex({data, count});
}

bool HexToBytes(std::string_view text, Bytes& out)
{
    HexDecoded decoded = DecodeHex(text);
    out = std::move(decoded.bytes);
    return decoded.Ok();
}

std::string PadNumber(long long number, int width)
{
    std::string text = std::to_string(number);
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
    return text;
}

std::string FormatDeviceDate(const Bytes& clock)
{
    return std::to_string(clock.at(0)) + "." + PadNumber(clock.at(1), 2) + "." + std::to_string(2000 + clock.at(2));
}

std::string FormatDeviceTime(const Bytes& clock)
{
    return PadNumber(clock.at(3), 2) + ":" + PadNumber(clock.at(4), 2) + ":" + PadNumber(clock.at(5), 2);
}

std::tm ReadLocalClock()
{
    return platform::LocalTime(std::time(nullptr));
}

std::array<std::uint8_t, 6> ClockPayload(const std::tm& local)
{
    return {static_cast<std::uint8_t>(local.tm_mday),
            static_cast<std::uint8_t>(local.tm_mon + 1),
            static_cast<std::uint8_t>((local.tm_year + 1900) % 100),
            static_cast<std::uint8_t>(local.tm_hour),
            static_cast<std::uint8_t>(local.tm_min),
            static_cast<std::uint8_t>(local.tm_sec)};
}

std::string Frame(std::string_view command)
{
    std::string frame;
    frame.reserve(command.size() + 2);
    frame += kEsc;
    frame += command;
    frame += kCr;
    return frame;
}

void FormatFrame(std::string& frame, std::string_view command)
{
    frame.clear();
    frame += kEsc;
    frame += command;
    frame += kCr;
}

void FormatDataFrame(std::string& frame, std::string_view command, const std::uint8_t* data, std::size_t count)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    const auto check = static_cast<std::uint8_t>(256 - FrameChecksum(data, count));
    frame.resize(1 + command.size() + 2 * (count + 1) + 1);
    char* out = frame.data();
    *out++ = kEsc;
    out = std::copy(command.begin(), command.end(), out);
    auto put = [&out](std::uint8_t byte) {
        *out++ = kDigits[byte >> 4];
        *out++ = kDigits[byte & 0x0F];
    };
    for (std::size_t i = 0; i < count; ++i)
        put(data[i]);
    put(check);
    *out = kCr;
}

std::string DataCommandText(std::string_view command, const std::uint8_t* data, std::size_t count)
{
    const auto check = static_cast<std::uint8_t>(256 - FrameChecksum(data, count));
    std::string text(command);
    text += BytesToHex(data, count);
    text += BytesToHex(&check, 1);
    return text;
}

}  // namespace kt
