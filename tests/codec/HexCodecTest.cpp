#include "codec/HexCodec.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>

namespace kt {
namespace {

constexpr int kCharacterCount = 256;

TEST(HexDigitValue, IsTheDigitsValueForTheTwentyTwoDigitsAndMinusOneForEveryOtherCharacter)
{
    for (int code = 0; code < kCharacterCount; ++code) {
        const char c = static_cast<char>(code);
        const char digit[] = {c, '\0'};
        const int expected = std::isxdigit(code) ? static_cast<int>(std::strtol(digit, nullptr, 16)) : -1;
        EXPECT_EQ(HexDigitValue(c), expected) << "character code " << code;
    }
}

struct DecodeCase {
    std::string name;
    std::string text;
    HexFailure failure;
    Bytes bytes = {};
};

std::ostream& operator<<(std::ostream& os, const DecodeCase& c)
{
    return os << c.name;
}

class DecodeHexTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeHexTest, DecodesWholePairsAndNamesWhyOtherTextsFail)
{
    const auto& c = GetParam();
    const HexDecoded decoded = DecodeHex(c.text);
    EXPECT_EQ(decoded.failure, c.failure);
    EXPECT_EQ(decoded.Ok(), c.failure == HexFailure::None);
    // A failed decoding hands back no partial bytes.
    EXPECT_EQ(decoded.bytes, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Cases, DecodeHexTest,
                         ::testing::Values(DecodeCase{"Empty", "", HexFailure::None},
                                           DecodeCase{"UpperCase", "00AB5F", HexFailure::None, {0x00, 0xAB, 0x5F}},
                                           DecodeCase{"LowerCase", "0aff", HexFailure::None, {0x0A, 0xFF}},
                                           DecodeCase{"MixedCaseInOnePair", "aB", HexFailure::None, {0xAB}},
                                           DecodeCase{
                                               "EveryDigitHighAndLow",
                                               "0123456789ABCDEFabcdef",
                                               HexFailure::None,
                                               {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xAB, 0xCD, 0xEF}},
                                           DecodeCase{"OneDigit", "A", HexFailure::OddLength},
                                           DecodeCase{"OddLength", "ABC", HexFailure::OddLength},
                                           DecodeCase{"LetterAfterF", "0G", HexFailure::NotADigit},
                                           DecodeCase{"LowerLetterAfterF", "g0", HexFailure::NotADigit},
                                           DecodeCase{"CharacterBeforeZero", "/0", HexFailure::NotADigit},
                                           DecodeCase{"CharacterAfterNine", "0:", HexFailure::NotADigit},
                                           DecodeCase{"CharacterBeforeUpperA", "@0", HexFailure::NotADigit},
                                           DecodeCase{"CharacterBeforeLowerA", "0`", HexFailure::NotADigit},
                                           DecodeCase{"BadPairAfterGoodOnes", "00112G", HexFailure::NotADigit},
                                           DecodeCase{"Blank", "12 3", HexFailure::NotADigit},
                                           DecodeCase{"LineEnd", "12\r\n", HexFailure::NotADigit},
                                           DecodeCase{"HexPrefix", "0x12", HexFailure::NotADigit},
                                           DecodeCase{"EightBitCharacter", "\xC1\xB0", HexFailure::NotADigit},
                                           DecodeCase{"NulCharacter", std::string("0\0", 2), HexFailure::NotADigit}),
                         [](const auto& row) { return row.param.name; });

TEST(EncodeHex, WritesEveryByteAsTwoUpperCaseDigitsThatDecodeBack)
{
    Bytes all;
    for (int value = 0; value < kCharacterCount; ++value)
        all.push_back(static_cast<std::uint8_t>(value));
    const std::string text = EncodeHex(all);
    ASSERT_EQ(text.size(), 2 * all.size());
    EXPECT_EQ(text.substr(0, 8), "00010203");
    EXPECT_EQ(text.substr(text.size() - 8), "FCFDFEFF");
    EXPECT_EQ(text.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(DecodeHex(text).bytes, all);
    EXPECT_EQ(EncodeHex({}), "");
}

TEST(AppendHexByte, AddsToWhatTheTextHolds)
{
    std::string line = ":";
    AppendHexByte(line, 0x0F);
    AppendHexByte(line, 0xA0);
    EXPECT_EQ(line, ":0FA0");
}

}  // namespace
}  // namespace kt
