#include "codec/HexCodec.h"

namespace kt {
namespace {

constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr int kDigitBits = 4;
constexpr std::uint8_t kLowDigitMask = 0x0F;
constexpr std::size_t kDigitsPerByte = 2;

}  // namespace

HexDecoded DecodeHex(std::string_view text)
{
    HexDecoded result;
    if (text.size() % kDigitsPerByte != 0) {
        result.failure = HexFailure::OddLength;
        return result;
    }
    result.bytes.reserve(text.size() / kDigitsPerByte);
    for (std::size_t i = 0; i < text.size(); i += kDigitsPerByte) {
        const int high = HexDigitValue(text[i]);
        const int low = HexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            result.bytes.clear();
            result.failure = HexFailure::NotADigit;
            return result;
        }
        result.bytes.push_back(static_cast<std::uint8_t>(high << kDigitBits | low));
    }
    return result;
}

void AppendHexByte(std::string& text, std::uint8_t byte)
{
    text += kUpperDigits[byte >> kDigitBits];
    text += kUpperDigits[byte & kLowDigitMask];
}

std::string EncodeHex(std::span<const std::uint8_t> bytes)
{
    std::string text;
    text.reserve(bytes.size() * kDigitsPerByte);
    for (const std::uint8_t byte : bytes)
        AppendHexByte(text, byte);
    return text;
}

}  // namespace kt
