#include "SimCommandLine.h"

#include <charconv>
#include <functional>
#include <map>
#include <set>
#include <string_view>

namespace kt::sim {
namespace {

const std::set<std::string, std::less<>> kCommands = {"PFLASH", "n", "v", "d", "h", "t", "s",
                                                      "T",      "B", "D", "W", "F", "X"};

// Decimal, or hexadecimal after 0x.
std::optional<long long> ParseNumber(std::string_view text, long long min, long long max)
{
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Texts for replies may name control characters: \r, \n, \e (ESC), \\ and \xHH.
std::optional<std::string> Unescape(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return std::nullopt;
        switch (text[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 'e': out += '\x1B'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            if (i + 2 >= text.size())
                return std::nullopt;
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high << 4 | low);
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return out;
}

// "CMD:REST" with a known command; REST may be empty.
std::optional<std::pair<std::string, std::string>> CommandAndValue(std::string_view text)
{
    const auto colon = text.find(':');
    if (colon == std::string_view::npos || !kCommands.contains(text.substr(0, colon)))
        return std::nullopt;
    return std::pair{std::string(text.substr(0, colon)), std::string(text.substr(colon + 1))};
}

constexpr long long kMaxBlockNumber = 65535;
constexpr long long kMaxDelayMs = 3'600'000;
constexpr long long kMaxRefusals = 1000;

}  // namespace

std::string SimUsage()
{
    return "usage: kt-device-sim [OPTIONS]\n"
           "Plays the ТЕЛВИКС on a pseudo-terminal; prints the port path, runs until SIGINT or SIGTERM.\n"
           "\n"
           "Answers:\n"
           "  --model N                 model byte for \"D\" (default 0x21)\n"
           "  --model-reply TEXT        sent instead of the model digits (\"\" = no answer)\n"
           "  --version TEXT            software version for \"v\"\n"
           "  --date TEXT               software date for \"d\"\n"
           "  --hardware TEXT           hardware version for \"h\"\n"
           "  --identity TEXT           identity text for \"s\" (12 characters)\n"
           "  --bad-identity-check      the identity record carries a wrong check byte\n"
           "  --clock HEX               frozen clock record for \"t\", 14 hex digits (default: host clock)\n"
           "  --flasher-id TEXT         answer to \"n\" in the flasher (default DRAXO_FLASHER)\n"
           "  --loader-id TEXT          answer to \"n\" in the loader (default DRAXO_LOADER)\n"
           "  --start-in-loader         start in the loader instead of the flasher\n"
           "  --ping-esc                answer \"PFLASH\" with ESC instead of CR\n"
           "Line:\n"
           "  --baud N                  pace both directions at N baud, 10 bits a character (0 = unpaced)\n"
           "  --delay MS                wait before every reply\n"
           "  --delay-on CMD:MS         wait this much more before the replies to CMD\n"
           "Faults (CMD is PFLASH, n, v, d, h, t, s, T, B, D, W, F or X; options repeat):\n"
           "  --silent-on CMD           CMD is lost: no effect, no reply\n"
           "  --silent-after CMD:N      CMD is answered N times, then lost\n"
           "  --refuse-on CMD           CMD is refused with ESC\n"
           "  --garbage-on CMD:TEXT     CMD works, TEXT is sent instead of its reply\n"
           "  --append-on CMD:TEXT      CMD works, TEXT follows its reply\n"
           "  --refuse-core-block K[:N] refuse core block K N times (default 1), then take it\n"
           "  --lose-core-block K[:N]   lose core block K's frame N times (default 1), then take it\n"
           "  --refuse-media-block K    always refuse media block number K\n"
           "  --vanish-after-frames N   answer N frames, vanish at the next one\n"
           "  --vanish-at-core-block K  vanish when core block K arrives\n"
           "  --vanish-at-media-block K vanish when media block number K arrives\n"
           "Files:\n"
           "  --link PATH               make PATH a symlink to the port (removed at exit)\n"
           "  --dump-core FILE          write the received core image at exit\n"
           "  --dump-media FILE         write the received media image at exit\n"
           "  --dump-frames FILE        write the received frames at exit, one a line\n"
           "  --help                    this text\n"
           "\n"
           "Reply texts may hold \\r, \\n, \\e (ESC), \\\\ and \\xHH. Numbers are decimal or 0x hex.\n";
}

SimCommandLine ParseSimCommandLine(const std::vector<std::string>& args)
{
    SimProgramOptions o;
    SimOptions& d = o.device;
    using Handler = std::function<bool(std::string_view)>;
    auto number = [](long long min, long long max, auto store) {
        return Handler([=](std::string_view v) {
            const auto n = ParseNumber(v, min, max);
            if (n)
                store(*n);
            return n.has_value();
        });
    };
    auto text = [](std::string& target) {
        return Handler([&target](std::string_view v) {
            target = v;
            return true;
        });
    };
    auto command = [](std::set<std::string>& target) {
        return Handler([&target](std::string_view v) {
            if (!kCommands.contains(v))
                return false;
            target.emplace(v);
            return true;
        });
    };
    // "K" or "K:N": core block K, N times (default once).
    auto blockTimes = [](std::map<int, int>& target) {
        return Handler([&target](std::string_view v) {
            const auto colon = v.find(':');
            const auto block = ParseNumber(v.substr(0, colon), 0, kMaxBlockNumber);
            const auto times = colon == std::string_view::npos ? std::optional<long long>(1)
                                                                : ParseNumber(v.substr(colon + 1), 1, kMaxRefusals);
            if (!block || !times)
                return false;
            target[static_cast<int>(*block)] = static_cast<int>(*times);
            return true;
        });
    };
    auto commandText = [](std::map<std::string, std::string>& target) {
        return Handler([&target](std::string_view v) {
            const auto cv = CommandAndValue(v);
            const auto unescaped = cv ? Unescape(cv->second) : std::nullopt;
            if (!unescaped)
                return false;
            target[cv->first] = *unescaped;
            return true;
        });
    };

    const std::map<std::string, Handler, std::less<>> valued = {
        {"--model", number(0, 255, [&](long long n) { d.model = static_cast<std::uint8_t>(n); })},
        {"--model-reply",
         [&](std::string_view v) {
             d.modelReply = Unescape(v);
             return d.modelReply.has_value();
         }},
        {"--version", text(d.softwareVersion)},
        {"--date", text(d.softwareDate)},
        {"--hardware", text(d.hardwareVersion)},
        {"--identity", [&](std::string_view v) {
             d.identity = v;
             return v.size() == 12;
         }},
        {"--clock",
         [&](std::string_view v) {
             ClockRecord record{};
             if (v.size() != 2 * record.size())
                 return false;
             for (std::size_t i = 0; i < record.size(); ++i) {
                 const int high = HexDigit(v[2 * i]);
                 const int low = HexDigit(v[2 * i + 1]);
                 if (high < 0 || low < 0)
                     return false;
                 record[i] = static_cast<std::uint8_t>(high << 4 | low);
             }
             d.clock = record;
             return true;
         }},
        {"--flasher-id", text(d.flasherIdentity)},
        {"--loader-id", text(d.loaderIdentity)},
        {"--baud", number(0, 100'000'000, [&](long long n) { d.baud = static_cast<int>(n); })},
        {"--delay", number(0, kMaxDelayMs, [&](long long n) { d.extraDelay = std::chrono::milliseconds(n); })},
        {"--delay-on",
         [&](std::string_view v) {
             const auto cv = CommandAndValue(v);
             const auto ms = cv ? ParseNumber(cv->second, 0, kMaxDelayMs) : std::nullopt;
             if (ms)
                 d.delayOn[cv->first] = std::chrono::milliseconds(*ms);
             return ms.has_value();
         }},
        {"--silent-on", command(d.silentOn)},
        {"--refuse-on", command(d.refuseOn)},
        {"--garbage-on", commandText(d.garbageOn)},
        {"--append-on", commandText(d.appendOn)},
        {"--silent-after",
         [&](std::string_view v) {
             const auto cv = CommandAndValue(v);
             const auto n = cv ? ParseNumber(cv->second, 0, 1'000'000'000) : std::nullopt;
             if (n)
                 d.silentAfter[cv->first] = static_cast<int>(*n);
             return n.has_value();
         }},
        {"--refuse-core-block", blockTimes(d.refuseCoreBlock)},
        {"--lose-core-block", blockTimes(d.loseCoreBlock)},
        {"--refuse-media-block",
         number(0, kMaxBlockNumber, [&](long long n) { d.refuseMediaBlock.insert(static_cast<int>(n)); })},
        {"--vanish-after-frames",
         number(0, 1'000'000'000, [&](long long n) { d.vanishAfterFrames = static_cast<int>(n); })},
        {"--vanish-at-core-block",
         number(0, kMaxBlockNumber, [&](long long n) { d.vanishAtCoreBlock = static_cast<int>(n); })},
        {"--vanish-at-media-block",
         number(0, kMaxBlockNumber, [&](long long n) { d.vanishAtMediaBlock = static_cast<int>(n); })},
        {"--link", text(o.link)},
        {"--dump-core", text(o.dumpCore)},
        {"--dump-media", text(o.dumpMedia)},
        {"--dump-frames", text(o.dumpFrames)},
    };
    const std::map<std::string, bool*, std::less<>> flags = {
        {"--bad-identity-check", &d.badIdentityCheck},
        {"--start-in-loader", &d.startInLoader},
        {"--ping-esc", &d.pingAnswersEsc},
        {"--help", &o.help},
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::optional<std::string_view> value;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        if (const auto f = flags.find(arg); f != flags.end()) {
            if (value)
                return {std::nullopt, std::string(arg) + " takes no value"};
            *f->second = true;
            continue;
        }
        const auto h = valued.find(arg);
        if (h == valued.end())
            return {std::nullopt, "unknown option " + std::string(args[i])};
        if (!value) {
            if (i + 1 >= args.size())
                return {std::nullopt, std::string(arg) + " needs a value"};
            value = args[++i];
        }
        if (!h->second(*value))
            return {std::nullopt, "bad value for " + std::string(arg) + ": " + std::string(*value)};
    }
    return {std::move(o), {}};
}

}  // namespace kt::sim
