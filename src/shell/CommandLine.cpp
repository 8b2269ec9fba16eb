#include "shell/CommandLine.h"

#include "codec/HexCodec.h"

#include <algorithm>
#include <charconv>

namespace kt {
namespace {

constexpr std::string_view kOptionPrefix = "--";
constexpr std::string_view kEndOfOptions = "--";
constexpr int kDecimalBase = 10;
constexpr int kHexBase = 16;

bool HasHexPrefix(std::string_view text)
{
    return text.starts_with("0x") || text.starts_with("0X");
}

}  // namespace

std::optional<long long> ParseNumber(std::string_view text, const NumberRule& rule)
{
    int base = kDecimalBase;
    if (rule.hex && HasHexPrefix(text)) {
        text.remove_prefix(std::string_view("0x").size());
        // from_chars would take a sign after the prefix.
        if (text.empty() || HexDigitValue(text.front()) < 0)
            return std::nullopt;
        base = kHexBase;
    }
    long long value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, failure] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || failure != std::errc() || stop != end || value < rule.min || value > rule.max)
        return std::nullopt;
    return value;
}

std::string DescribeNumber(const NumberRule& rule)
{
    std::string text = "a whole number from " + std::to_string(rule.min) + " to " + std::to_string(rule.max);
    if (rule.hex)
        text += ", decimal or 0x hex";
    return text;
}

CommandOption FlagOption(std::string name, bool& target)
{
    return FlagOption(std::move(name), [&target] { target = true; });
}

CommandOption FlagOption(std::string name, std::function<void()> action)
{
    return CommandOption{std::move(name), false, {}, [action = std::move(action)](std::string_view) {
                             action();
                             return true;
                         }};
}

CommandOption HelpOption(std::string name, bool& target)
{
    CommandOption option = FlagOption(std::move(name), target);
    option.endsParsing = true;
    return option;
}

CommandOption ValueOption(std::string name, std::string expected, std::function<bool(std::string_view)> apply)
{
    return CommandOption{std::move(name), true, std::move(expected), std::move(apply)};
}

CommandOption TextOption(std::string name, std::string expected, std::string& target)
{
    return ValueOption(std::move(name), std::move(expected), [&target](std::string_view value) {
        target = value;
        return true;
    });
}

CommandOption NumberOption(std::string name, const NumberRule& rule, std::function<void(long long)> store)
{
    return ValueOption(std::move(name), DescribeNumber(rule), [rule, store = std::move(store)](std::string_view value) {
        const auto number = ParseNumber(value, rule);
        if (number)
            store(*number);
        return number.has_value();
    });
}

ParsedArguments ParseArguments(const std::vector<std::string>& args, const std::vector<CommandOption>& options)
{
    ParsedArguments parsed;
    auto fail = [&parsed](std::string error) {
        parsed.error = std::move(error);
        return parsed;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        if (arg == kEndOfOptions) {
            parsed.positional.insert(parsed.positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                     args.end());
            break;
        }
        std::optional<std::string_view> value;
        const bool prefixed = arg.starts_with(kOptionPrefix);
        if (const auto eq = arg.find('='); prefixed && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        const auto option =
            std::find_if(options.begin(), options.end(), [arg](const CommandOption& o) { return o.name == arg; });
        if (option == options.end()) {
            if (prefixed)
                return fail("unknown option " + std::string(arg));
            parsed.positional.emplace_back(arg);
            continue;
        }
        const std::string& name = option->name;
        if (!option->takesValue) {
            if (value)
                return fail(name + " takes no value");
            option->apply({});
        } else {
            if (!value && i + 1 >= args.size())
                return fail(name + " needs " + option->expected);
            const std::string_view text = value ? *value : std::string_view(args[++i]);
            if (!option->apply(text)) {
                if (text.empty())
                    return fail(name + " needs " + option->expected);
                return fail("bad value for " + name + ": " + std::string(text) + " (expected " + option->expected +
                            ")");
            }
        }
        if (option->endsParsing)
            break;
    }
    return parsed;
}

}  // namespace kt
