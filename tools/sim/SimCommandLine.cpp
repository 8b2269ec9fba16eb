#include "SimCommandLine.h"

#include "codec/HexCodec.h"
#include "shell/CommandLine.h"

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string_view>

namespace kt::sim {
namespace {

const std::set<std::string, std::less<>> kCommands = {"PFLASH", "n", "v", "d", "h", "t", "s",
                                                      "T",      "B", "D", "W", "F", "X"};

// "\xHH" names a byte by two digits.
constexpr std::size_t kEscapedByteDigits = 2;

// Numbers are decimal or 0x hex. The model is one byte and block numbers are
// 16-bit on the wire; a pace of 100 Mbaud, an hour of delay and a thousand
// refusals are beyond any test; counts of answers and frames stop at a
// billion, beyond any run.
constexpr NumberRule kModelRule{0, 255, true};
constexpr NumberRule kBaudRule{0, 100'000'000, true};
constexpr NumberRule kBlockRule{0, 65535, true};
constexpr NumberRule kDelayRule{0, 3'600'000, true};
constexpr NumberRule kRefusalsRule{1, 1000, true};
constexpr NumberRule kCountRule{0, 1'000'000'000, true};

// The identity record holds 12 characters; the clock record is given as its bytes in hex.
constexpr std::size_t kIdentityLength = 12;
constexpr std::size_t kClockDigits = 2 * std::tuple_size_v<ClockRecord>;

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
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        case 'e':
            out += '\x1B';
            break;
        case '\\':
            out += '\\';
            break;
        case 'x': {
            const HexDecoded byte = DecodeHex(text.substr(i + 1, kEscapedByteDigits));
            if (!byte.Ok() || byte.bytes.size() != 1)
                return std::nullopt;
            out += static_cast<char>(byte.bytes[0]);
            i += kEscapedByteDigits;
            break;
        }
        default:
            return std::nullopt;
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

}  // namespace

std::string SimUsage()
{
    return "usage: kt-device-sim [OPTIONS]\n"
           "Plays the ТЕЛВИКС on a pseudo-terminal; prints the port path, runs until SIGINT, SIGTERM or SIGHUP.\n"
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
           "  --deaf                    read nothing from the line, so that the host's writes stall\n"
           "Files:\n"
           "  --link PATH               make PATH a symlink to the port (removed at exit)\n"
           "  --dump-core FILE          write the received core image at exit\n"
           "  --dump-media FILE         write the received media image at exit\n"
           "  --dump-frames FILE        write the received frames at exit, one a line\n"
           "  --turnarounds FILE        write at exit, one a line in microseconds, the time from\n"
           "                            each acknowledgement leaving the device to the next frame\n"
           "                            arriving\n"
           "  --help                    this text\n"
           "\n"
           "Reply texts may hold \\r, \\n, \\e (ESC), \\\\ and \\xHH. Numbers are decimal or 0x hex.\n";
}

SimCommandLine ParseSimCommandLine(const std::vector<std::string>& args)
{
    SimProgramOptions o;
    SimOptions& d = o.device;
    auto command = [](std::string name, std::set<std::string>& target) {
        return ValueOption(std::move(name), "a command name", [&target](std::string_view v) {
            if (!kCommands.contains(v))
                return false;
            target.emplace(v);
            return true;
        });
    };
    // "K" or "K:N": core block K, N times (default once).
    auto blockTimes = [](std::string name, std::map<int, int>& target) {
        return ValueOption(std::move(name), "a block number K or K:N", [&target](std::string_view v) {
            const auto colon = v.find(':');
            const auto block = ParseNumber(v.substr(0, colon), kBlockRule);
            const auto times = colon == std::string_view::npos ? std::optional<long long>(1)
                                                               : ParseNumber(v.substr(colon + 1), kRefusalsRule);
            if (!block || !times)
                return false;
            target[static_cast<int>(*block)] = static_cast<int>(*times);
            return true;
        });
    };
    auto commandText = [](std::string name, std::map<std::string, std::string>& target) {
        return ValueOption(std::move(name), "CMD:TEXT", [&target](std::string_view v) {
            const auto cv = CommandAndValue(v);
            const auto unescaped = cv ? Unescape(cv->second) : std::nullopt;
            if (!unescaped)
                return false;
            target[cv->first] = *unescaped;
            return true;
        });
    };
    auto blockNumber = [](std::string name, std::optional<int>& target) {
        return NumberOption(std::move(name), kBlockRule, [&target](long long n) { target = static_cast<int>(n); });
    };

    const std::vector<CommandOption> options = {
        NumberOption("--model", kModelRule, d.model),
        ValueOption("--model-reply", "a reply text",
                    [&](std::string_view v) {
                        d.modelReply = Unescape(v);
                        return d.modelReply.has_value();
                    }),
        TextOption("--version", "a version text", d.softwareVersion),
        TextOption("--date", "a date text", d.softwareDate),
        TextOption("--hardware", "a version text", d.hardwareVersion),
        ValueOption("--identity", std::to_string(kIdentityLength) + " characters",
                    [&](std::string_view v) {
                        d.identity = v;
                        return v.size() == kIdentityLength;
                    }),
        ValueOption("--clock", std::to_string(kClockDigits) + " hexadecimal digits",
                    [&](std::string_view v) {
                        const HexDecoded decoded = DecodeHex(v);
                        ClockRecord record{};
                        if (!decoded.Ok() || decoded.bytes.size() != record.size())
                            return false;
                        std::copy(decoded.bytes.begin(), decoded.bytes.end(), record.begin());
                        d.clock = record;
                        return true;
                    }),
        TextOption("--flasher-id", "an identity text", d.flasherIdentity),
        TextOption("--loader-id", "an identity text", d.loaderIdentity),
        FlagOption("--bad-identity-check", d.badIdentityCheck),
        FlagOption("--start-in-loader", d.startInLoader),
        FlagOption("--ping-esc", d.pingAnswersEsc),
        FlagOption("--deaf", d.deaf),
        NumberOption("--baud", kBaudRule, d.baud),
        NumberOption("--delay", kDelayRule, [&](long long n) { d.extraDelay = std::chrono::milliseconds(n); }),
        ValueOption("--delay-on", "CMD:MS",
                    [&](std::string_view v) {
                        const auto cv = CommandAndValue(v);
                        const auto ms = cv ? ParseNumber(cv->second, kDelayRule) : std::nullopt;
                        if (ms)
                            d.delayOn[cv->first] = std::chrono::milliseconds(*ms);
                        return ms.has_value();
                    }),
        command("--silent-on", d.silentOn),
        command("--refuse-on", d.refuseOn),
        commandText("--garbage-on", d.garbageOn),
        commandText("--append-on", d.appendOn),
        ValueOption("--silent-after", "CMD:N",
                    [&](std::string_view v) {
                        const auto cv = CommandAndValue(v);
                        const auto n = cv ? ParseNumber(cv->second, kCountRule) : std::nullopt;
                        if (n)
                            d.silentAfter[cv->first] = static_cast<int>(*n);
                        return n.has_value();
                    }),
        blockTimes("--refuse-core-block", d.refuseCoreBlock),
        blockTimes("--lose-core-block", d.loseCoreBlock),
        NumberOption("--refuse-media-block", kBlockRule,
                     [&](long long n) { d.refuseMediaBlock.insert(static_cast<int>(n)); }),
        NumberOption("--vanish-after-frames", kCountRule,
                     [&](long long n) { d.vanishAfterFrames = static_cast<int>(n); }),
        blockNumber("--vanish-at-core-block", d.vanishAtCoreBlock),
        blockNumber("--vanish-at-media-block", d.vanishAtMediaBlock),
        TextOption("--link", "a path", o.link),
        TextOption("--dump-core", "a file name", o.dumpCore),
        TextOption("--dump-media", "a file name", o.dumpMedia),
        TextOption("--dump-frames", "a file name", o.dumpFrames),
        TextOption("--turnarounds", "a file name", o.turnarounds),
        FlagOption("--help", o.help),
    };

    const ParsedArguments parsed = ParseArguments(args, options);
    if (!parsed.Ok())
        return {std::nullopt, parsed.error};
    if (!parsed.positional.empty())
        return {std::nullopt, "unexpected argument " + parsed.positional.front()};
    return {std::move(o), {}};
}

}  // namespace kt::sim
