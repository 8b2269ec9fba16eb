// The operation record: one line of JSON per operation whatever the device
// sent, the fields programs read from it, and the time it carries.
#include "shell/OperationRecord.h"

#include "JsonValue.h"
#include "RecordCases.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace kt::test {
namespace {

class RecordOfReport : public ::testing::TestWithParam<RecordCase> {};

TEST_P(RecordOfReport, IsOneLineOfJsonWithTheReportsFields)
{
    const RecordCase& row = GetParam();
    const std::string line = row.Record();
    for (const char c : line)
        ASSERT_GE(static_cast<unsigned char>(c), 0x20) << "a raw control character in " << line;
    std::string error;
    const auto record = ParseJson(line, error);
    ASSERT_TRUE(record.has_value()) << error << "\n" << line;
    ASSERT_EQ(record->kind, JsonValue::Kind::Object);
    for (const auto& [pointer, text] : row.expected) {
        const auto expected = ParseJson(text, error);
        ASSERT_TRUE(expected.has_value()) << "the case's own " << pointer << ": " << error;
        const JsonValue* found = record->At(pointer);
        ASSERT_NE(found, nullptr) << "no " << pointer << " in " << line;
        EXPECT_TRUE(*found == *expected) << pointer << " should be " << text << " in " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Reports, RecordOfReport, ::testing::ValuesIn(RecordCases()),
                         [](const auto& info) { return info.param.name; });

// Text as the record writes it: the characters a line-based reader could
// take for a line end escaped, every byte that is not UTF-8 one U+FFFD for
// each broken sequence, as Python and the browsers decode them.
struct TextRow {
    const char* name;
    std::string text;
    std::string written;  // between the quotes
};

class TextInRecord : public ::testing::TestWithParam<TextRow> {};

TEST_P(TextInRecord, IsWrittenAsValidEscapedUtf8)
{
    OperationReport report;
    report.port = GetParam().text;
    const std::string line = FormatRecord(RecordContext{}, report);
    EXPECT_NE(line.find("\"port\":\"" + GetParam().written + "\","), std::string::npos) << line;
}

const std::string kFffd = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Texts, TextInRecord,
    ::testing::Values(
        TextRow{"QuoteAndBackslash", "a\"b\\c", "a\\\"b\\\\c"},
        TextRow{"ShortEscapes", "\b\f\n\r\t", "\\b\\f\\n\\r\\t"},
        TextRow{"OtherControlsAndDelete", std::string("\0\x1f\x7f", 3), "\\u0000\\u001f\\u007f"},
        TextRow{"C1ControlAndUnicodeLineEnds", "\xC2\x85 \xE2\x80\xA8 \xE2\x80\xA9", "\\u0085 \\u2028 \\u2029"},
        TextRow{"CyrillicAndFourByteCharactersKept", "Порт \xF0\x9F\x94\x8C", "Порт \xF0\x9F\x94\x8C"},
        TextRow{"LoneContinuationByte", "\x80", kFffd}, TextRow{"OverlongSlash", "\xC0\xAF", kFffd + kFffd},
        TextRow{"Surrogate", "\xED\xA0\x80", kFffd + kFffd + kFffd},
        TextRow{"BeyondU10FFFF", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
        TextRow{"CutAtTheEnd", "a\xE2\x82", "a" + kFffd}, TextRow{"CutBeforeAQuote", "\xE2\x82\"", kFffd + "\\\""},
        TextRow{"Windows1251Bytes", "\xCF\xEE\xF0\xF2", kFffd + kFffd + kFffd + kFffd}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RecordText, PackageTextsAreConvertedFromWindows1251)
{
    KVF_TYPE package;
    package.NAME = "\xD2\xE5\xEB\xE2\xE8\xEA\xF1";
    package.CORE_VERS = "3.0.12 \xE1\xE5\xF2\xE0";
    package.CORE_DATE = "\x98";  // the one byte Windows-1251 leaves undefined
    RecordContext context;
    context.package = &package;
    const std::string line = FormatRecord(context, OperationReport{});
    EXPECT_NE(line.find(R"("name":"Телвикс","core_version":"3.0.12 бета","core_date":")" + kFffd + "\""),
              std::string::npos)
        << line;
    EXPECT_NE(line.find(R"("core_sha256":null,"media_sha256":null)"), std::string::npos)
        << "a package without images has no digests: " << line;
}

// Durations to the millisecond, written the same in every locale.
struct SecondsRow {
    const char* name;
    double seconds;
    const char* written;
};

class RecordSeconds : public ::testing::TestWithParam<SecondsRow> {};

TEST_P(RecordSeconds, AreRoundedToMilliseconds)
{
    OperationReport report;
    report.seconds = GetParam().seconds;
    const std::string line = FormatRecord(RecordContext{}, report);
    EXPECT_NE(line.find(std::string("\"seconds\":") + GetParam().written + ",\"bytes_sent\""), std::string::npos)
        << line;
}

INSTANTIATE_TEST_SUITE_P(
    Durations, RecordSeconds,
    ::testing::Values(SecondsRow{"Zero", 0, "0.000"}, SecondsRow{"BelowHalfAMillisecond", 0.0004, "0.000"},
                      SecondsRow{"HalfAMillisecondUp", 0.0005, "0.001"}, SecondsRow{"RoundsUp", 12.3456, "12.346"},
                      SecondsRow{"CarriesIntoTheSecond", 59.9999, "60.000"}, SecondsRow{"AnHour", 3600.25, "3600.250"},
                      SecondsRow{"NegativeIsAFault", -1.5, "0.000"},
                      SecondsRow{"NotANumber", std::numeric_limits<double>::quiet_NaN(), "0.000"},
                      SecondsRow{"Infinite", std::numeric_limits<double>::infinity(), "0.000"}),
    [](const auto& info) { return std::string(info.param.name); });

struct TimeRow {
    const char* name;
    int year, month, day, hour, minute, second;
    int offsetMinutes;
    const char* written;
};

class RecordTime : public ::testing::TestWithParam<TimeRow> {};

TEST_P(RecordTime, IsIso8601WithTheOffset)
{
    const TimeRow& row = GetParam();
    std::tm local{};
    local.tm_year = row.year - 1900;
    local.tm_mon = row.month - 1;
    local.tm_mday = row.day;
    local.tm_hour = row.hour;
    local.tm_min = row.minute;
    local.tm_sec = row.second;
    EXPECT_EQ(FormatRecordTime(local, row.offsetMinutes), row.written);
}

INSTANTIATE_TEST_SUITE_P(
    Times, RecordTime,
    ::testing::Values(TimeRow{"Moscow", 2026, 12, 11, 4, 5, 6, 180, "2026-12-11T04:05:06+03:00"},
                      TimeRow{"Utc", 2027, 1, 1, 0, 0, 0, 0, "2027-01-01T00:00:00+00:00"},
                      TimeRow{"HalfHourWest", 2026, 7, 1, 23, 59, 59, -150, "2026-07-01T23:59:59-02:30"},
                      TimeRow{"QuarterHourEast", 2026, 2, 28, 12, 0, 0, 345, "2026-02-28T12:00:00+05:45"}),
    [](const auto& info) { return std::string(info.param.name); });

// The process's time zone set for one test.
class TimeZoneScope {
public:
    explicit TimeZoneScope(const char* zone)
    {
        if (const char* old = std::getenv("TZ"))
            old_ = old;
        Set(zone);
    }
    ~TimeZoneScope() { Set(old_.empty() ? nullptr : old_.c_str()); }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

private:
    static void Set(const char* zone)
    {
#ifdef _WIN32
        ::_putenv_s("TZ", zone != nullptr ? zone : "");
        ::_tzset();
#else
        if (zone != nullptr)
            ::setenv("TZ", zone, 1);
        else
            ::unsetenv("TZ");
        ::tzset();
#endif
    }

    std::string old_;
};

// The moment a record time stands for, in seconds since 1970 UTC.
long long MomentOf(const std::string& time)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, offsetHours = 0, offsetMinutes = 0;
    char sign = 0;
    if (std::sscanf(time.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d", &year, &month, &day, &hour, &minute, &second,
                    &sign, &offsetHours, &offsetMinutes) != 9 ||
        (sign != '+' && sign != '-'))
        return -1;
    using namespace std::chrono;
    const sys_days date = std::chrono::year{year} / month / day;
    const long long offset = (sign == '-' ? -1 : 1) * (offsetHours * 3600LL + offsetMinutes * 60LL);
    return duration_cast<seconds>(date.time_since_epoch()).count() + hour * 3600LL + minute * 60LL + second - offset;
}

// A record read on another computer must give the same moment: an offset
// with the wrong sign, or the UTC time with the local offset, shifts it by
// hours.
TEST(RecordClock, NowCarriesTheZonesOffset)
{
    // POSIX and the C runtime spell zones alike: "KTT-3" is three hours east of UTC.
    struct Zone {
        const char* tz;
        const char* offset;
    };
    for (const Zone zone : {Zone{"KTT-3", "+03:00"}, Zone{"KTT+5:30", "-05:30"}, Zone{"UTC0", "+00:00"}}) {
        const TimeZoneScope scope(zone.tz);
        const std::string time = RecordTimeNow();
        const long long now = static_cast<long long>(std::time(nullptr));
        EXPECT_TRUE(time.ends_with(zone.offset)) << zone.tz << ": " << time;
        EXPECT_LE(std::llabs(MomentOf(time) - now), 5) << zone.tz << ": " << time;
    }
}

}  // namespace
}  // namespace kt::test
