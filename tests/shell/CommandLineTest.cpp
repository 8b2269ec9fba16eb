#include "shell/CommandLine.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace kt {
namespace {

using Strings = std::vector<std::string>;

// A program with one option of each kind; every option taken is written down
// as "name=value", so that a case sees what was applied and in which order.
class Recorder {
public:
    Recorder()
        : options_{
              FlagOption("--yes", [this] { applied.push_back("--yes"); }),
              HelpOption("--help", help),
              HelpOption("-h", help),
              TextOption("--name", "a name", name),
              ValueOption("--port", "a port name", Record("--port", false)),
              ValueOption("--tag", "a tag", Record("--tag", true)),
              NumberOption("--count", NumberRule{0, 100}, Store("--count")),
              NumberOption("--mask", NumberRule{0, 255, true}, Store("--mask")),
              NumberOption("--offset", NumberRule{-10, 10}, Store("--offset")),
              NumberOption("--shift", NumberRule{-255, 255, true}, Store("--shift")),
          }
    {}

    ParsedArguments Parse(const Strings& args) { return ParseArguments(args, options_); }

    Strings applied;
    std::string name = "unset";
    bool help = false;

private:
    std::function<bool(std::string_view)> Record(std::string option, bool emptyAllowed)
    {
        return [this, option, emptyAllowed](std::string_view value) {
            if (value.empty() && !emptyAllowed)
                return false;
            applied.push_back(option + "=" + std::string(value));
            return true;
        };
    }
    std::function<void(long long)> Store(std::string option)
    {
        return [this, option](long long number) { applied.push_back(option + "=" + std::to_string(number)); };
    }

    std::vector<CommandOption> options_;
};

struct AcceptCase {
    std::string name;
    Strings args;
    Strings applied;
    Strings positional = {};
    bool help = false;
};

std::ostream& operator<<(std::ostream& os, const AcceptCase& c)
{
    return os << c.name;
}

class CommandLineAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(CommandLineAccepts, AppliesTheOptionsInOrderAndKeepsTheOtherArguments)
{
    const auto& c = GetParam();
    Recorder program;
    const ParsedArguments parsed = program.Parse(c.args);
    ASSERT_TRUE(parsed.Ok()) << parsed.error;
    EXPECT_EQ(program.applied, c.applied);
    EXPECT_EQ(parsed.positional, c.positional);
    EXPECT_EQ(program.help, c.help);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineAccepts,
    ::testing::Values(
        AcceptCase{"Nothing", {}, {}},
        AcceptCase{"ValueAfterSpaceOrEquals", {"--port", "/dev/a", "--count=7"}, {"--port=/dev/a", "--count=7"}},
        AcceptCase{"NextArgumentIsTheValueWhateverItLooksLike", {"--port", "--yes"}, {"--port=--yes"}},
        AcceptCase{"OnlyTheFirstEqualsSplits", {"--port=a=b"}, {"--port=a=b"}},
        AcceptCase{
            "RepeatedOptionAppliesEachTime", {"--tag", "a", "--tag=b", "--tag", ""}, {"--tag=a", "--tag=b", "--tag="}},
        AcceptCase{"PositionalsAroundOptions", {"open", "--yes", "a.kvf"}, {"--yes"}, {"open", "a.kvf"}},
        AcceptCase{"SingleDashWordsArePositional", {"-", "-x", "-h=1"}, {}, {"-", "-x", "-h=1"}},
        AcceptCase{
            "DoubleDashEndsTheOptions", {"--yes", "--", "--count", "x", "--"}, {"--yes"}, {"--count", "x", "--"}},
        AcceptCase{"HelpLeavesTheRestAlone", {"a", "--help", "--bogus", "--count=x"}, {}, {"a"}, true},
        AcceptCase{"ShortHelpLeavesTheRestAlone", {"-h", "--bogus"}, {}, {}, true},
        AcceptCase{"DecimalWithLeadingZeros", {"--count", "007"}, {"--count=7"}},
        AcceptCase{"RangeBoundsIncluded",
                   {"--count=0", "--count=100", "--offset=-10"},
                   {"--count=0", "--count=100", "--offset=-10"}},
        AcceptCase{"HexOfEitherCase",
                   {"--mask", "0xfF", "--mask=0X10", "--mask=200"},
                   {"--mask=255", "--mask=16", "--mask=200"}}),
    [](const auto& row) { return row.param.name; });

TEST(CommandLine, EmptyTextIsAValueWhereTheOptionTakesIt)
{
    Recorder program;
    ASSERT_TRUE(program.Parse({"--name="}).Ok());
    EXPECT_EQ(program.name, "");
    Recorder spaced;
    ASSERT_TRUE(spaced.Parse({"--name", ""}).Ok());
    EXPECT_EQ(spaced.name, "");
}

struct RejectCase {
    std::string name;
    Strings args;
    std::string error;
};

std::ostream& operator<<(std::ostream& os, const RejectCase& c)
{
    return os << c.name;
}

class CommandLineRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(CommandLineRejects, NamesTheOptionAndTheText)
{
    const auto& c = GetParam();
    Recorder program;
    const ParsedArguments parsed = program.Parse(c.args);
    EXPECT_FALSE(parsed.Ok());
    EXPECT_EQ(parsed.error, c.error);
}

const std::string kCountExpected = " (expected a whole number from 0 to 100)";
const std::string kMaskExpected = " (expected a whole number from 0 to 255, decimal or 0x hex)";

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineRejects,
    ::testing::Values(
        RejectCase{"UnknownOption", {"--bogus"}, "unknown option --bogus"},
        RejectCase{"UnknownOptionWithValue", {"--bogus=1"}, "unknown option --bogus"},
        RejectCase{"PrefixOfAnOption", {"--cou", "1"}, "unknown option --cou"},
        RejectCase{"EqualsWithoutName", {"--=1"}, "unknown option --"},
        RejectCase{"MissingValue", {"--yes", "--port"}, "--port needs a port name"},
        RejectCase{"EmptyValueRefused", {"--port="}, "--port needs a port name"},
        RejectCase{"EmptySpacedValueRefused", {"--port", ""}, "--port needs a port name"},
        RejectCase{"FlagGivenAValue", {"--yes=no"}, "--yes takes no value"},
        RejectCase{"FlagGivenAnEmptyValue", {"--yes="}, "--yes takes no value"},
        RejectCase{"HelpGivenAValue", {"--help=1"}, "--help takes no value"},
        RejectCase{"StopsAtTheFirstMistake", {"--count=x", "--bogus"}, "bad value for --count: x" + kCountExpected},
        RejectCase{"NotANumber", {"--count", "abc"}, "bad value for --count: abc" + kCountExpected},
        RejectCase{"TrailingUnit", {"--count", "12k"}, "bad value for --count: 12k" + kCountExpected},
        RejectCase{"LeadingBlank", {"--count", " 12"}, "bad value for --count:  12" + kCountExpected},
        RejectCase{"TrailingBlank", {"--count", "12 "}, "bad value for --count: 12 " + kCountExpected},
        RejectCase{"PlusSign", {"--count", "+5"}, "bad value for --count: +5" + kCountExpected},
        RejectCase{"Fraction", {"--count", "1.5"}, "bad value for --count: 1.5" + kCountExpected},
        RejectCase{"AboveTheRange", {"--count", "101"}, "bad value for --count: 101" + kCountExpected},
        RejectCase{"Negative", {"--count", "-1"}, "bad value for --count: -1" + kCountExpected},
        RejectCase{"BelowANegativeRange",
                   {"--offset", "-11"},
                   "bad value for --offset: -11 (expected a whole number from -10 to 10)"},
        RejectCase{"BeyondEveryWholeNumber",
                   {"--count", "99999999999999999999"},
                   "bad value for --count: 99999999999999999999" + kCountExpected},
        RejectCase{"HexWhereOnlyDecimal", {"--count", "0x10"}, "bad value for --count: 0x10" + kCountExpected},
        RejectCase{"HexAboveTheRange", {"--mask", "0x100"}, "bad value for --mask: 0x100" + kMaskExpected},
        RejectCase{"HexPrefixAlone", {"--mask", "0x"}, "bad value for --mask: 0x" + kMaskExpected},
        RejectCase{"SignAfterHexPrefix",
                   {"--shift", "0x-1"},
                   "bad value for --shift: 0x-1 (expected a whole number from -255 to 255, decimal or 0x hex)"},
        RejectCase{"HexDigitsWithoutPrefix", {"--mask", "ff"}, "bad value for --mask: ff" + kMaskExpected},
        RejectCase{"EmptyNumber", {"--count="}, "--count needs a whole number from 0 to 100"},
        RejectCase{"MissingNumber", {"--count"}, "--count needs a whole number from 0 to 100"}),
    [](const auto& row) { return row.param.name; });

TEST(ParseNumber, ReachesBothEndsOfTheWholeNumbers)
{
    const NumberRule all{LLONG_MIN, LLONG_MAX, true};
    EXPECT_EQ(ParseNumber("-9223372036854775808", all), LLONG_MIN);
    EXPECT_EQ(ParseNumber("9223372036854775807", all), LLONG_MAX);
    EXPECT_EQ(ParseNumber("0x7FFFFFFFFFFFFFFF", all), LLONG_MAX);
    EXPECT_EQ(ParseNumber("9223372036854775808", all), std::nullopt);
    EXPECT_EQ(ParseNumber("0x8000000000000000", all), std::nullopt);
}

TEST(NumberOption, RefusesARangeItsTargetCannotHold)
{
    std::uint8_t byte = 0;
    EXPECT_THROW(NumberOption("--model", NumberRule{0, 256}, byte), std::logic_error);
    EXPECT_THROW(NumberOption("--model", NumberRule{-1, 255}, byte), std::logic_error);
    EXPECT_NO_THROW(NumberOption("--model", NumberRule{0, 255}, byte));
}

TEST(NumberOption, StoresIntoItsTarget)
{
    std::uint8_t model = 0;
    int baud = 0;
    const std::vector<CommandOption> options = {NumberOption("--model", NumberRule{0, 255, true}, model),
                                                NumberOption("--baud", NumberRule{0, INT_MAX}, baud)};
    ASSERT_TRUE(ParseArguments({"--model", "0xFF", "--baud=2147483647"}, options).Ok());
    EXPECT_EQ(model, 0xFF);
    EXPECT_EQ(baud, INT_MAX);
}

}  // namespace
}  // namespace kt
