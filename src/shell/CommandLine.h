// The programs' command lines: options from a table as "--name VALUE" or "--name=VALUE", and positional arguments.
#pragma once

#include <concepts>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kt {

// The whole numbers a value may be: decimal, or also hexadecimal after "0x"
// where `hex` allows it, from `min` to `max`.
struct NumberRule {
    long long min = 0;
    long long max = 0;
    bool hex = false;
};

// The whole of `text` as a number by `rule`; nothing when any character is not
// part of the number (blanks, "+", a trailing unit) or the number is outside the range.
std::optional<long long> ParseNumber(std::string_view text, const NumberRule& rule);

// The rule in words, for messages: "a whole number from 0 to 255, decimal or 0x hex".
std::string DescribeNumber(const NumberRule& rule);

struct CommandOption {
    std::string name;  // "--port"; a name without "--" ("-h") is matched only as a whole argument
    bool takesValue = false;
    std::string expected;  // what the value is, for messages: "a port name"
    // An option's `apply` takes its value and returns false when the text is no such
    // value. A flag's is called with an empty text; what it returns does not count.
    std::function<bool(std::string_view)> apply;
    bool endsParsing = false;  // the arguments after it are not looked at (--help)
};

// A flag that sets `target`, or that runs `action`.
CommandOption FlagOption(std::string name, bool& target);
CommandOption FlagOption(std::string name, std::function<void()> action);
// A flag that sets `target` and ends the parsing, as a request for help does.
CommandOption HelpOption(std::string name, bool& target);
// An option whose value `apply` checks and stores.
CommandOption ValueOption(std::string name, std::string expected, std::function<bool(std::string_view)> apply);
// An option that takes any text, the empty one too.
CommandOption TextOption(std::string name, std::string expected, std::string& target);
// An option that takes a number by `rule`.
CommandOption NumberOption(std::string name, const NumberRule& rule, std::function<void(long long)> store);

template <std::integral T>
CommandOption NumberOption(std::string name, const NumberRule& rule, T& target)
{
    if (!std::in_range<T>(rule.min) || !std::in_range<T>(rule.max))
        throw std::logic_error(name + ": the range does not fit the value's type");
    return NumberOption(std::move(name), rule, [&target](long long number) { target = static_cast<T>(number); });
}

struct ParsedArguments {
    std::vector<std::string> positional;  // the other arguments in order, all of those after "--"
    std::string error;                    // the first mistake; empty when there was none

    bool Ok() const { return error.empty(); }
};

// Goes through `args` (without the program name) once, from the left: applies
// each option as it comes, so that a later one overrides an earlier one, and
// collects the arguments that are not options. Stops at the first mistake:
//   "unknown option --name", "--name takes no value", "--name needs EXPECTED"
//   (no value, or an empty one that is refused), "bad value for --name: TEXT (expected EXPECTED)".
// A value is the rest of the argument after "=", or else the next argument, whatever it is.
ParsedArguments ParseArguments(const std::vector<std::string>& args, const std::vector<CommandOption>& options);

}  // namespace kt
