#include "link/Protocol.h"

#include <gtest/gtest.h>

namespace kt {
namespace {

TEST(Protocol, CheckByteMakesTheSeededSumZero)
{
    const Bytes abc{0x61, 0x62, 0x63};
    EXPECT_EQ(FrameChecksum(abc), 0xD0);
    EXPECT_EQ(DataCommandText("W", abc.data(), abc.size()), "W61626330");
    EXPECT_EQ(DataCommandText("F", nullptr, 0), "F56");  // no data still carries its check byte
    const Bytes zeroSum{0x56};                           // 0xAA + 0x56 = 0x100
    EXPECT_EQ(DataCommandText("T", zeroSum.data(), zeroSum.size()), "T5600");
    const Bytes clock{0x08, 0x0C, 0x1A, 0x09, 0x05, 0x03};
    EXPECT_EQ(DataCommandText("T", clock.data(), clock.size()), "T080C1A09050317");
    EXPECT_EQ(Frame("PFLASH"), "\x1bPFLASH\r");
}

// Every frame of an operation is written into one buffer: each must come out
// whole and alone, whatever longer or shorter frame the buffer held before.
TEST(Protocol, FramesWrittenIntoOneBufferAreEachExact)
{
    Bytes media(2 + 512);
    for (std::size_t i = 0; i < media.size(); ++i)
        media[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const Bytes clock{0x08, 0x0C, 0x1A, 0x09, 0x05, 0x03};
    std::string frame;
    FormatDataFrame(frame, "F", media.data(), media.size());
    EXPECT_EQ(frame, Frame(DataCommandText("F", media.data(), media.size())));
    EXPECT_EQ(frame.size(), 1033u);
    FormatDataFrame(frame, "T", clock.data(), clock.size());
    EXPECT_EQ(frame, "\x1bT080C1A09050317\r");
    FormatFrame(frame, "PFLASH");
    EXPECT_EQ(frame, "\x1bPFLASH\r");
    FormatDataFrame(frame, "W", nullptr, 0);
    EXPECT_EQ(frame, "\x1bW56\r");
    FormatDataFrame(frame, "W", media.data(), 260);
    EXPECT_EQ(frame, Frame(DataCommandText("W", media.data(), 260)));
}

TEST(Protocol, HexToBytesDecodesPairsOfEitherCase)
{
    struct Row {
        const char* text;
        bool ok;
        Bytes bytes;
    };
    const Row rows[] = {
        {"0aFf", true, {0x0A, 0xFF}}, {"", true, {}},    {"0", false, {}}, {"0G", false, {}}, {"G0", false, {}},
        {"12 3", false, {}},          {"\r", false, {}},
    };
    for (const auto& r : rows) {
        Bytes out{9, 9};
        EXPECT_EQ(HexToBytes(r.text, out), r.ok) << r.text;
        if (r.ok)
            EXPECT_EQ(out, r.bytes) << r.text;
    }
    EXPECT_EQ(BytesToHex(Bytes{0x00, 0xAB, 0x5F}.data(), 3), "00AB5F");
}

TEST(Protocol, PadsAndFormatsClockFields)
{
    EXPECT_EQ(PadNumber(7, 2), "07");
    EXPECT_EQ(PadNumber(123, 2), "123");
    EXPECT_EQ(PadNumber(0, 2), "00");
    Bytes clock;
    ASSERT_TRUE(HexToBytes("0C0B1A0F1E2D00", clock));
    EXPECT_EQ(FormatDeviceDate(clock), "12.11.2026");
    EXPECT_EQ(FormatDeviceTime(clock), "15:30:45");
    EXPECT_EQ(FormatDeviceDate(Bytes{5, 3, 26, 7, 4, 0}), "5.03.2026");
    EXPECT_EQ(FormatDeviceTime(Bytes{5, 3, 26, 7, 4, 0}), "07:04:00");
    EXPECT_EQ(FormatDeviceDate(Bytes{31, 123, 255, 0, 0, 0}), "31.123.2255");
}

TEST(Protocol, ClockPayloadComesFromOneReading)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 59;
    EXPECT_EQ(ClockPayload(t), (std::array<std::uint8_t, 6>{31, 12, 26, 23, 59, 59}));
    t.tm_mon = 11;
    t.tm_mday = 8;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ(ClockPayload(t), (std::array<std::uint8_t, 6>{8, 12, 26, 9, 5, 3}));
}

}  // namespace
}  // namespace kt
