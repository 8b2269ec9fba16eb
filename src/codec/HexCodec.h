// Hexadecimal text and bytes: digit values, pairs of digits decoded into bytes, bytes as upper-case pairs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kt {

using Bytes = std::vector<std::uint8_t>;

// The value of one hexadecimal digit of either case; -1 for any other character.
constexpr int HexDigitValue(char c)
{
    constexpr int kLetterBase = 10;  // "A" stands for ten
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + kLetterBase;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + kLetterBase;
    return -1;
}

// Why a text could not be decoded.
enum class HexFailure {
    None,
    OddLength,  // a digit is left over without its pair
    NotADigit,  // some character is not a hexadecimal digit
};

struct HexDecoded {
    Bytes bytes;  // one byte a pair; empty unless the whole text was decoded
    HexFailure failure = HexFailure::None;

    bool Ok() const { return failure == HexFailure::None; }
};

// The bytes of `text`, read as pairs of digits of either case, high digit first.
// An empty text is no bytes; anything but whole pairs of digits fails.
HexDecoded DecodeHex(std::string_view text);

// Appends `byte` as two upper-case digits, high digit first.
void AppendHexByte(std::string& text, std::uint8_t byte);

// Every byte of `bytes` as two upper-case digits.
std::string EncodeHex(std::span<const std::uint8_t> bytes);

}  // namespace kt
