#include "link/Protocol.h"

#include "codec/HexCodec.h"
#include "platform/LocalClock.h"

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

void FormatFrame(std::string& frame, std::string_view command)
{
    frame.clear();
    frame += kEsc;
    frame += command;
    frame += kCr;
}

std::string Frame(std::string_view command)
{
    std::string frame;
    FormatFrame(frame, command);
    return frame;
}

namespace {

// Appends the data command's text: the name, the data in hex, the check byte.
void AppendDataCommand(std::string& text, std::string_view command, const std::uint8_t* data, std::size_t count)
{
    text.reserve(text.size() + command.size() + 2 * (count + 1) + 1);
    text += command;
    for (std::size_t i = 0; i < count; ++i)
        AppendHexByte(text, data[i]);
    AppendHexByte(text, static_cast<std::uint8_t>(256 - FrameChecksum(data, count)));
}

}  // namespace

void FormatDataFrame(std::string& frame, std::string_view command, const std::uint8_t* data, std::size_t count)
{
    frame.clear();
    frame += kEsc;
    AppendDataCommand(frame, command, data, count);
    frame += kCr;
}

std::string DataCommandText(std::string_view command, const std::uint8_t* data, std::size_t count)
{
    std::string text;
    AppendDataCommand(text, command, data, count);
    return text;
}

}  // namespace kt
