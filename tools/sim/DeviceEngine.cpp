#include "DeviceEngine.h"

#include "platform/LocalClock.h"

#include <algorithm>
#include <ctime>

namespace kt::sim {
namespace {

using namespace std::chrono;

constexpr std::uint8_t kChecksumSeed = 0xAA;
constexpr std::string_view kPing = "PFLASH";
constexpr std::size_t kClockSetSize = 6;
constexpr std::size_t kMediaFrameDataSize = 2 + kMediaBlockSize;  // block number, then the block
constexpr int kIdentityLength = 12;
// Longer than the longest frame ("F": 1,031 characters between ESC and CR);
// a run without CR beyond this is line noise and is dropped.
constexpr std::size_t kMaxFrameBody = 2048;

constexpr char kHexDigits[] = "0123456789ABCDEF";

std::uint8_t SeededSum(const Bytes& data)
{
    unsigned sum = kChecksumSeed;
    for (std::uint8_t b : data)
        sum += b;
    return static_cast<std::uint8_t>(sum);
}

void AppendHex(std::string& out, std::uint8_t b)
{
    out += kHexDigits[b >> 4];
    out += kHexDigits[b & 0x0F];
}

int DigitValue(char c)
{
    // The program sends upper-case digits only; the device takes nothing else.
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<Bytes> DecodeHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    Bytes out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = DigitValue(text[i]);
        const int low = DigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return out;
}

std::string CommandName(const std::string& body)
{
    if (body.starts_with(kPing))
        return std::string(kPing);
    return body.substr(0, 1);
}

std::string Describe(const std::string& body)
{
    if (body.empty() || (body[0] != 'W' && body[0] != 'F'))
        return body;
    const auto bytes = DecodeHex(std::string_view(body).substr(1));
    if (!bytes || bytes->empty())
        return body;
    const std::size_t count = bytes->size() - 1;
    std::string text = body.substr(0, 1) + "[" + std::to_string(count) + "]";
    if (body[0] == 'F' && count >= 2)
        text += "#" + std::to_string((*bytes)[0] | (*bytes)[1] << 8);
    return text;
}

ClockRecord RecordOf(sys_seconds t)
{
    const auto day = floor<days>(t);
    const year_month_day ymd{day};
    const hh_mm_ss hms{t - day};
    return {static_cast<std::uint8_t>(static_cast<unsigned>(ymd.day())),
            static_cast<std::uint8_t>(static_cast<unsigned>(ymd.month())),
            static_cast<std::uint8_t>(static_cast<int>(ymd.year()) - 2000),
            static_cast<std::uint8_t>(hms.hours().count()),
            static_cast<std::uint8_t>(hms.minutes().count()),
            static_cast<std::uint8_t>(hms.seconds().count()),
            0};
}

// The moment a clock payload names, or nothing for a date or time that does not exist.
std::optional<sys_seconds> MomentOf(const Bytes& s)
{
    const year_month_day ymd{year{2000 + s[2]}, month{s[1]}, day{s[0]}};
    if (!ymd.ok() || s[3] > 23 || s[4] > 59 || s[5] > 59)
        return std::nullopt;
    return sys_days{ymd} + hours{s[3]} + minutes{s[4]} + seconds{s[5]};
}

}  // namespace

std::uint8_t CheckByte(const Bytes& data)
{
    return static_cast<std::uint8_t>(256 - SeededSum(data));
}

std::string CommandFrame(std::string_view command)
{
    std::string frame(1, kEsc);
    frame += command;
    frame += kCr;
    return frame;
}

std::string DataFrame(std::string_view command, const Bytes& data)
{
    std::string text(command);
    text.reserve(command.size() + 2 * data.size() + 2);
    for (std::uint8_t b : data)
        AppendHex(text, b);
    AppendHex(text, CheckByte(data));
    return CommandFrame(text);
}

sys_seconds HostLocalTime()
{
    const std::tm local = platform::LocalTime(std::time(nullptr));
    const year_month_day ymd{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                             day{static_cast<unsigned>(local.tm_mday)}};
    return sys_days{ymd} + hours{local.tm_hour} + minutes{local.tm_min} + seconds{local.tm_sec};
}

DeviceEngine::DeviceEngine(SimOptions options, LocalClock localNow)
    : options_(std::move(options)), localNow_(std::move(localNow)), inLoader_(options_.startInLoader),
      coreRefusalsLeft_(options_.refuseCoreBlock), coreLossesLeft_(options_.loseCoreBlock),
      answersLeft_(options_.silentAfter), frozenClock_(options_.clock)
{}

std::optional<Reaction> DeviceEngine::Push(char c)
{
    if (vanished_)
        return std::nullopt;
    if (c == kEsc) {
        // An ESC always opens a frame; an unfinished one before it is lost.
        inFrame_ = true;
        body_.clear();
        return std::nullopt;
    }
    if (!inFrame_)
        return std::nullopt;
    if (c == kCr) {
        inFrame_ = false;
        return HandleFrame(body_);
    }
    body_ += c;
    if (body_.size() > kMaxFrameBody)
        inFrame_ = false;
    return std::nullopt;
}

std::vector<Reaction> DeviceEngine::Feed(std::string_view received)
{
    std::vector<Reaction> reactions;
    for (char c : received)
        if (auto r = Push(c))
            reactions.push_back(std::move(*r));
    return reactions;
}

Reaction DeviceEngine::HandleFrame(const std::string& body)
{
    ++frameCount_;
    frames_.push_back(Describe(body));

    Reaction r;
    const std::string name = CommandName(body);
    r.command = name.empty() ? body : name;
    if (options_.vanishAfterFrames && frameCount_ > *options_.vanishAfterFrames) {
        r.vanish = true;
        vanished_ = true;
        return r;
    }
    if (options_.silentOn.contains(name))
        return r;
    if (auto it = answersLeft_.find(name); it != answersLeft_.end()) {
        if (it->second == 0)
            return r;
        --it->second;
    }

    r.delay = options_.extraDelay;
    if (const auto it = options_.delayOn.find(name); it != options_.delayOn.end())
        r.delay += it->second;

    if (options_.refuseOn.contains(name)) {
        r.reply = std::string(1, kEsc);
        return r;
    }
    Execute(name, body, r);
    if (r.vanish) {
        vanished_ = true;
        r.reply.clear();
        return r;
    }
    if (const auto it = options_.garbageOn.find(name); it != options_.garbageOn.end())
        r.reply = it->second;
    if (const auto it = options_.appendOn.find(name); it != options_.appendOn.end())
        r.reply += it->second;
    return r;
}

void DeviceEngine::Execute(const std::string& name, const std::string& body, Reaction& r)
{
    const std::string refusal(1, kEsc);
    const std::string ack(1, kCr);
    const bool dataCommand = name == "T" || name == "W" || name == "F";
    const std::string_view rest = std::string_view(body).substr(name.size());

    if (!dataCommand) {
        // Plain commands carry nothing after their name.
        if (name.empty() || !rest.empty()) {
            r.reply = refusal;
            return;
        }
        if (name == kPing) {
            r.reply = std::string(1, options_.pingAnswersEsc ? kEsc : kCr);
        } else if (name == "n") {
            if (inLoader_)
                r.reply = options_.loaderIdentity;
            else if (loaderRan_ && options_.flasherIdentityAfterLoader)
                r.reply = *options_.flasherIdentityAfterLoader;
            else
                r.reply = options_.flasherIdentity;
        } else if (name == "D") {
            if (options_.modelReply) {
                r.reply = *options_.modelReply;
            } else {
                AppendHex(r.reply, options_.model);
            }
        } else if (name == "X") {
            // Leaving the loader starts the flasher; the flasher just ends the exchange.
            inLoader_ = false;
        } else if (name == "B") {
            // The loader starts, or starts over, silently and with an empty core
            // memory: a device left in its loader by a broken update takes the
            // core again from block 0.
            inLoader_ = true;
            loaderRan_ = true;
            core_.clear();
        } else if (inLoader_) {
            r.reply = refusal;  // the loader knows nothing else
        } else if (name == "v") {
            r.reply = options_.softwareVersion;
        } else if (name == "d") {
            r.reply = options_.softwareDate;
        } else if (name == "h") {
            r.reply = options_.hardwareVersion;
        } else if (name == "t") {
            for (std::uint8_t b : ReadClock())
                AppendHex(r.reply, b);
        } else if (name == "s") {
            std::string id = options_.identity;
            id.resize(kIdentityLength, ' ');
            Bytes record(id.begin(), id.end());
            std::uint8_t check = CheckByte(record);
            if (options_.badIdentityCheck)
                ++check;
            record.push_back(check);
            for (std::uint8_t b : record)
                AppendHex(r.reply, b);
        } else {
            r.reply = refusal;
        }
        return;
    }

    // Data commands: hex payload and a check byte that brings the seeded sum to 0.
    auto bytes = DecodeHex(rest);
    if (!bytes || bytes->empty() || SeededSum(*bytes) != 0) {
        r.reply = refusal;
        return;
    }
    bytes->pop_back();
    const bool forLoader = name == "W";
    if (forLoader != inLoader_) {
        r.reply = refusal;
        return;
    }
    if (name == "T") {
        r.reply = SetClock(*bytes) ? ack : refusal;
    } else if (name == "W") {
        WriteCoreBlock(*bytes, r);
    } else {
        WriteMediaBlock(*bytes, r);
    }
}

void DeviceEngine::WriteCoreBlock(const Bytes& data, Reaction& r)
{
    if (data.size() != kCoreBlockSize) {
        r.reply = std::string(1, kEsc);
        return;
    }
    const int block = static_cast<int>(core_.size() / kCoreBlockSize);
    if (options_.vanishAtCoreBlock == block) {
        r.vanish = true;
        return;
    }
    if (auto it = coreRefusalsLeft_.find(block); it != coreRefusalsLeft_.end() && it->second > 0) {
        --it->second;
        r.reply = std::string(1, kEsc);
        return;
    }
    if (auto it = coreLossesLeft_.find(block); it != coreLossesLeft_.end() && it->second > 0) {
        --it->second;  // the frame never reached the loader: no effect, no reply
        return;
    }
    core_.insert(core_.end(), data.begin(), data.end());
    r.reply = std::string(1, kCr);
}

void DeviceEngine::WriteMediaBlock(const Bytes& data, Reaction& r)
{
    if (data.size() != kMediaFrameDataSize) {
        r.reply = std::string(1, kEsc);
        return;
    }
    const int block = data[0] | data[1] << 8;
    if (options_.vanishAtMediaBlock == block) {
        r.vanish = true;
        return;
    }
    if (options_.refuseMediaBlock.contains(block)) {
        r.reply = std::string(1, kEsc);
        return;
    }
    const std::size_t offset = static_cast<std::size_t>(block) * kMediaBlockSize;
    if (media_.size() < offset + kMediaBlockSize)
        media_.resize(offset + kMediaBlockSize, 0xFF);
    std::copy(data.begin() + 2, data.end(), media_.begin() + static_cast<std::ptrdiff_t>(offset));
    r.reply = std::string(1, kCr);
}

bool DeviceEngine::SetClock(const Bytes& data)
{
    if (data.size() != kClockSetSize)
        return false;
    // The device's clock chip takes only a date and time that exist.
    const auto moment = MomentOf(data);
    if (!moment)
        return false;
    ClockSetting setting{};
    std::copy(data.begin(), data.end(), setting.begin());
    lastClockSet_ = setting;
    if (frozenClock_)
        std::copy(setting.begin(), setting.end(), frozenClock_->begin());
    else
        clockOffset_ = *moment - localNow_();
    return true;
}

ClockRecord DeviceEngine::ReadClock() const
{
    if (frozenClock_)
        return *frozenClock_;
    return RecordOf(localNow_() + clockOffset_);
}

}  // namespace kt::sim
