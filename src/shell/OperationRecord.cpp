#include "shell/OperationRecord.h"

#include "package/Cp1251.h"
#include "package/Package.h"
#include "package/Sha256.h"
#include "platform/LocalClock.h"
#include "platform/RecordFile.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kt {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";

// One character of UTF-8 text; or, where the bytes break off, the longest
// start of a character (Unicode's "maximal subpart"), which stands for one
// U+FFFD, as Python and the browsers decode it.
struct Decoded {
    char32_t code = kReplacement;
    std::size_t length = 1;
    bool valid = false;
};

Decoded DecodeUtf8(std::string_view bytes, std::size_t at)
{
    const auto byte = [&bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned lead = byte(at);
    // The second byte's range rules out overlong forms, surrogates and
    // anything beyond U+10FFFF.
    int follow = 0;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    char32_t code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        follow = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        follow = 2;
        code = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        follow = 3;
        code = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {};
    }
    std::size_t next = at + 1;
    for (int i = 0; i < follow; ++i, ++next) {
        if (next >= bytes.size() || byte(next) < low || byte(next) > high)
            return {kReplacement, next - at, false};
        code = (code << 6) | (byte(next) & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {code, next - at, true};
}

// Characters written as \u escapes: the C0 and C1 controls and DEL, and the
// line and paragraph separators, which JavaScript and Python's splitlines()
// take for line ends.
bool Escaped(char32_t code)
{
    return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029;
}

void AppendEscape(std::string& out, char32_t code)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(code >> shift) & 0xF];
}

// Builds one JSON text; commas between members and elements come by themselves.
class JsonWriter {
public:
    JsonWriter& Key(std::string_view name)
    {
        Separate();
        Text(name);
        out_ += ':';
        comma_ = false;
        return *this;
    }
    void BeginObject() { Open('{'); }
    void EndObject() { Close('}'); }
    void BeginArray() { Open('['); }
    void EndArray() { Close(']'); }

    void String(std::string_view utf8)
    {
        Separate();
        Text(utf8);
        comma_ = true;
    }
    void StringOrNull(const std::optional<std::string>& utf8)
    {
        if (utf8)
            String(*utf8);
        else
            Null();
    }
    void Integer(long long value) { Scalar(std::to_string(value)); }
    // Milliseconds, written without the locale (a window's locale may write
    // "1,5"). A duration below zero or not a finite number, which no clock
    // gives, is written as 0.
    void Seconds(double seconds)
    {
        constexpr double kLongest = 1e12;  // within what a long long holds in milliseconds
        if (!std::isfinite(seconds) || seconds < 0)
            seconds = 0;
        const long long milliseconds = std::llround(std::fmin(seconds, kLongest) * 1000);
        std::string text = std::to_string(milliseconds / 1000) + ".";
        const long long fraction = milliseconds % 1000;
        text += static_cast<char>('0' + fraction / 100);
        text += static_cast<char>('0' + fraction / 10 % 10);
        text += static_cast<char>('0' + fraction % 10);
        Scalar(text);
    }
    void Bool(bool value) { Scalar(value ? "true" : "false"); }
    void Null() { Scalar("null"); }

    std::string Take() { return std::move(out_); }

private:
    void Separate()
    {
        if (comma_)
            out_ += ',';
    }
    void Open(char bracket)
    {
        Separate();
        out_ += bracket;
        comma_ = false;
    }
    void Close(char bracket)
    {
        out_ += bracket;
        comma_ = true;
    }
    void Scalar(std::string_view text)
    {
        Separate();
        out_ += text;
        comma_ = true;
    }
    void Text(std::string_view bytes);

    std::string out_;
    bool comma_ = false;
};

void JsonWriter::Text(std::string_view bytes)
{
    out_ += '"';
    for (std::size_t at = 0; at < bytes.size();) {
        const char c = bytes[at];
        if (static_cast<unsigned char>(c) < 0x80) {
            ++at;
            switch (c) {
            case '"':
                out_ += "\\\"";
                break;
            case '\\':
                out_ += "\\\\";
                break;
            case '\b':
                out_ += "\\b";
                break;
            case '\f':
                out_ += "\\f";
                break;
            case '\n':
                out_ += "\\n";
                break;
            case '\r':
                out_ += "\\r";
                break;
            case '\t':
                out_ += "\\t";
                break;
            default:
                if (Escaped(static_cast<unsigned char>(c)))
                    AppendEscape(out_, static_cast<unsigned char>(c));
                else
                    out_ += c;
            }
            continue;
        }
        const Decoded decoded = DecodeUtf8(bytes, at);
        if (!decoded.valid)
            out_ += kReplacementUtf8;
        else if (Escaped(decoded.code))
            AppendEscape(out_, decoded.code);
        else
            out_ += bytes.substr(at, decoded.length);
        at += decoded.length;
    }
    out_ += '"';
}

// Lower case, as sha256sum prints it; null for an image the package does not hold.
void WriteDigest(JsonWriter& json, const Bytes& image)
{
    if (image.empty()) {
        json.Null();
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    const Sha256Digest digest = Sha256(std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
    std::string hex;
    for (const std::uint8_t byte : digest) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 0xF];
    }
    json.String(hex);
}

void WritePackage(JsonWriter& json, const KVF_TYPE* package)
{
    if (package == nullptr) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Key("file").String(package->FILE_NAME);
    json.Key("name").String(Cp1251ToUtf8(package->NAME));
    json.Key("core_version").String(Cp1251ToUtf8(package->CORE_VERS));
    json.Key("core_date").String(Cp1251ToUtf8(package->CORE_DATE));
    json.Key("model").Integer(package->DEVICE);
    json.Key("core_size").Integer(package->CORE_SIZE);
    json.Key("media_size").Integer(package->FLASH_SIZE);
    WriteDigest(json.Key("core_sha256"), package->CORE);
    WriteDigest(json.Key("media_sha256"), package->FLASH);
    json.EndObject();
}

void WriteDevice(JsonWriter& json, const std::optional<DeviceState>& device)
{
    if (!device) {
        json.Null();
        return;
    }
    json.BeginObject();
    json.Key("mode").String(device->mode);
    json.Key("software").StringOrNull(device->software);
    json.Key("date").StringOrNull(device->date);
    json.Key("hardware").StringOrNull(device->hardware);
    json.Key("clock").StringOrNull(device->clock);
    json.Key("identity").StringOrNull(device->identity);
    json.EndObject();
}

}  // namespace

std::string FormatRecord(const RecordContext& context, const OperationReport& report)
{
    JsonWriter json;
    json.BeginObject();
    json.Key("time").String(context.time);
    json.Key("host").String(context.host);
    json.Key("program_version").String(context.programVersion);
    json.Key("operation").String(report.operation);
    if (report.port.empty())
        json.Key("port").Null();
    else
        json.Key("port").String(report.port);

    json.Key("ports_tried").BeginArray();
    for (const PortAttempt& attempt : report.ports) {
        json.BeginObject();
        json.Key("port").String(attempt.port);
        json.Key("outcome").String(PortOutcomeName(attempt.outcome));
        json.Key("detail").String(attempt.detail);
        json.EndObject();
    }
    json.EndArray();

    WritePackage(json.Key("package"), context.package);
    WriteDevice(json.Key("device_before"), report.before);
    WriteDevice(json.Key("device_after"), report.after);

    json.Key("steps").BeginArray();
    for (const StepRecord& step : report.steps) {
        json.BeginObject();
        json.Key("name").String(step.name);
        json.Key("outcome").String(StepOutcomeName(step.outcome));
        json.Key("seconds").Seconds(step.seconds);
        json.Key("blocks").Integer(step.blocks);
        json.Key("blocks_done").Integer(step.blocksDone);
        json.EndObject();
    }
    json.EndArray();

    json.Key("core_retries").Integer(report.coreRetries);
    json.Key("failed_step").StringOrNull(report.failedStep);
    if (report.failedBlock)
        json.Key("failed_block").Integer(*report.failedBlock);
    else
        json.Key("failed_block").Null();
    json.Key("stop_reason").String(StopReasonName(report.stopReason));
    json.Key("ok").Bool(report.ok);
    json.Key("seconds").Seconds(report.seconds);
    json.Key("bytes_sent").Integer(report.bytesSent);
    json.Key("exit_status").Integer(context.exitStatus);
    json.EndObject();
    return json.Take();
}

std::string FormatRecordTime(const std::tm& local, int utcOffsetMinutes)
{
    const int offset = std::abs(utcOffsetMinutes);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, utcOffsetMinutes < 0 ? '-' : '+',
                  offset / 60, offset % 60);
    return text;
}

std::string RecordTimeNow()
{
    using namespace std::chrono;
    const auto now = system_clock::to_time_t(system_clock::now());
    const std::tm local = platform::LocalTime(now);
    // The offset is how far the local civil time, read as if it were UTC, is
    // ahead of the moment itself.
    const sys_days day = year{local.tm_year + 1900} / (local.tm_mon + 1) / local.tm_mday;
    const long long civil = duration_cast<seconds>(day.time_since_epoch()).count() + local.tm_hour * 3600LL +
                            local.tm_min * 60LL + local.tm_sec;
    const long long ahead = civil - static_cast<long long>(now);
    // Zones are whole minutes; a leap second (tm_sec 60) rounds away.
    const long long minutes = (ahead >= 0 ? ahead + 30 : ahead - 30) / 60;
    return FormatRecordTime(local, static_cast<int>(minutes));
}

bool AppendOperationRecord(const std::string& path, const OperationReport& report, const KVF_TYPE* package,
                           const std::string& startedAt, std::string& error)
{
    RecordContext context;
    context.time = startedAt;
    context.host = platform::HostName();
    context.programVersion = KT_VERSION;
    context.package = report.operation == "update" ? package : nullptr;
    context.exitStatus = report.ok ? 0 : 1;
    return platform::AppendWholeLine(path, FormatRecord(context, report), error);
}

}  // namespace kt
