#include "DeviceEngine.h"

#include <gtest/gtest.h>

namespace kt::sim {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

const std::string kAck = "\r";
const std::string kRefusal = "\x1B";

Bytes Pattern(std::size_t size, std::uint8_t seed)
{
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    return b;
}

std::string CoreFrame(std::uint8_t seed)
{
    return DataFrame("W", Pattern(kCoreBlockSize, seed));
}

Bytes MediaPayload(int block, std::uint8_t seed)
{
    Bytes data = {static_cast<std::uint8_t>(block & 0xFF), static_cast<std::uint8_t>(block >> 8)};
    const Bytes body = Pattern(kMediaBlockSize, seed);
    data.insert(data.end(), body.begin(), body.end());
    return data;
}

std::string MediaFrame(int block, std::uint8_t seed)
{
    return DataFrame("F", MediaPayload(block, seed));
}

// The frame with its check byte one off.
std::string WithBadCheck(std::string frame)
{
    char& last = frame[frame.size() - 2];
    last = last == '0' ? '1' : '0';
    return frame;
}

// What the device sends back for everything in `received`.
std::string Replies(DeviceEngine& engine, const std::string& received)
{
    std::string all;
    for (const auto& r : engine.Feed(received))
        all += r.reply;
    return all;
}

// --- Check byte ----------------------------------------------------------

struct CheckCase {
    std::string name;
    Bytes data;
    std::uint8_t check;
};

std::ostream& operator<<(std::ostream& os, const CheckCase& c)
{
    return os << c.name;
}

class CheckByteTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckByteTest, BringsTheSeededSumToZero)
{
    EXPECT_EQ(CheckByte(GetParam().data), GetParam().check);
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckByteTest,
                         ::testing::Values(CheckCase{"LettersAbc", {0x61, 0x62, 0x63}, 0x30},
                                           CheckCase{"NoData", {}, 0x56},
                                           CheckCase{"ClockPayload", {0x08, 0x0C, 0x1A, 0x09, 0x05, 0x03}, 0x17},
                                           CheckCase{"SumAlreadyZero", {0x56}, 0x00}),
                         [](const auto& info) { return info.param.name; });

TEST(DataFrame, SpellsTheClockExampleExactly)
{
    EXPECT_EQ(DataFrame("T", {0x08, 0x0C, 0x1A, 0x09, 0x05, 0x03}), "\x1BT080C1A09050317\r");
    EXPECT_EQ(DataFrame("Q", {}), "\x1BQ56\r");
}

TEST(DataFrame, PutsMediaBlockNumberLowByteFirst)
{
    EXPECT_TRUE(
        MediaFrame(258, 0).starts_with("\x1B"
                                       "F0201"));
}

// --- Replies to single frames --------------------------------------------

SimOptions InLoader()
{
    SimOptions o;
    o.startInLoader = true;
    return o;
}

template <typename F>
SimOptions With(F change, SimOptions o = {})
{
    change(o);
    return o;
}

struct ReplyCase {
    std::string name;
    SimOptions options;
    std::string frame;
    std::string reply;
};

std::ostream& operator<<(std::ostream& os, const ReplyCase& c)
{
    return os << c.name;
}

class ReplyTest : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyTest, AnswersExactly)
{
    const auto& c = GetParam();
    DeviceEngine engine(c.options);
    EXPECT_EQ(Replies(engine, c.frame), c.reply);
}

const ClockRecord kFixedClock = {0x0C, 0x0B, 0x1A, 0x0F, 0x1E, 0x2D, 0x00};
const std::string kIdentityRecord = "544C562D4D322D3030303432";  // "TLV-M2-00042"

INSTANTIATE_TEST_SUITE_P(
    Flasher, ReplyTest,
    ::testing::Values(
        ReplyCase{"PingAcknowledged", {}, CommandFrame("PFLASH"), kAck},
        ReplyCase{"PingAnsweredWithEsc", With([](auto& o) { o.pingAnswersEsc = true; }), CommandFrame("PFLASH"),
                  kRefusal},
        ReplyCase{"IdentityIsFlasher", {}, CommandFrame("n"), "DRAXO_FLASHER"},
        ReplyCase{"WrongFlasherIdentity", With([](auto& o) { o.flasherIdentity = "DRAXO_LOADER"; }), CommandFrame("n"),
                  "DRAXO_LOADER"},
        ReplyCase{"SoftwareVersion", {}, CommandFrame("v"), "3.0.12"},
        ReplyCase{"SoftwareDate", {}, CommandFrame("d"), "10.12.2026"},
        ReplyCase{"HardwareVersion", {}, CommandFrame("h"), "M2 rev.B"},
        ReplyCase{"FrozenClock", With([](auto& o) { o.clock = kFixedClock; }), CommandFrame("t"), "0C0B1A0F1E2D00"},
        ReplyCase{"IdentityRecord", {}, CommandFrame("s"), kIdentityRecord + "91"},
        ReplyCase{"IdentityRecordWithBadCheck", With([](auto& o) { o.badIdentityCheck = true; }), CommandFrame("s"),
                  kIdentityRecord + "92"},
        ReplyCase{"ShortIdentityPaddedWithBlanks", With([](auto& o) { o.identity = "AB"; }), CommandFrame("s"),
                  "4142"
                  "20202020202020202020"
                  "93"},
        ReplyCase{"ModelByte", {}, CommandFrame("D"), "21"},
        ReplyCase{"ModelReplyOverride", With([](auto& o) { o.modelReply = "ZZ"; }), CommandFrame("D"), "ZZ"},
        ReplyCase{"SetClock", {}, "\x1BT080C1A09050317\r", kAck},
        ReplyCase{"SetClockWithBadCheck", {}, "\x1BT080C1A09050318\r", kRefusal},
        ReplyCase{"SetClockInLowerCaseHex", {}, "\x1BT080c1a09050317\r", kRefusal},
        ReplyCase{"SetClockOddDigits", {}, "\x1BT080C1A0905031\r", kRefusal},
        ReplyCase{"SetClockFiveBytes", {}, DataFrame("T", {8, 12, 26, 9, 5}), kRefusal},
        ReplyCase{"SetClockToNonexistentDate", {}, DataFrame("T", {31, 2, 26, 9, 5, 3}), kRefusal},
        ReplyCase{"SetClockToMonthZero", {}, DataFrame("T", {8, 0, 26, 9, 5, 3}), kRefusal},
        ReplyCase{"SetClockToHour24", {}, DataFrame("T", {8, 12, 26, 24, 0, 0}), kRefusal},
        ReplyCase{"StartLoaderSilently", {}, CommandFrame("B"), ""},
        ReplyCase{"EndOfExchangeSilently", {}, CommandFrame("X"), ""},
        ReplyCase{"MediaBlock", {}, MediaFrame(0, 1), kAck},
        ReplyCase{"MediaBlockWithBadCheck", {}, WithBadCheck(MediaFrame(0, 1)), kRefusal},
        ReplyCase{"MediaBlockTooShort", {}, DataFrame("F", Pattern(513, 1)), kRefusal},
        ReplyCase{"CoreBlockRefusedByFlasher", {}, CoreFrame(1), kRefusal},
        ReplyCase{"UnknownCommand", {}, CommandFrame("Q"), kRefusal},
        ReplyCase{"PlainCommandWithCheckByte", {}, "\x1Bn56\r", kRefusal},
        ReplyCase{"PingWithTrailingText", {}, CommandFrame("PFLASHX"), kRefusal},
        ReplyCase{"EmptyFrame", {}, "\x1B\r", kRefusal},
        ReplyCase{"NoiseBeforeFrameIgnored", {}, "zz\r\r" + CommandFrame("PFLASH"), kAck},
        ReplyCase{"EscRestartsAnUnfinishedFrame", {}, "\x1Bv" + CommandFrame("n"), "DRAXO_FLASHER"},
        ReplyCase{"OverlongRunDropped", {}, "\x1B" + std::string(5000, 'A') + "\r" + CommandFrame("PFLASH"), kAck}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Loader, ReplyTest,
    ::testing::Values(
        ReplyCase{"PingAcknowledged", InLoader(), CommandFrame("PFLASH"), kAck},
        ReplyCase{"IdentityIsLoader", InLoader(), CommandFrame("n"), "DRAXO_LOADER"},
        ReplyCase{"WrongLoaderIdentity", With([](auto& o) { o.loaderIdentity = "DRAXO_FLASHER"; }, InLoader()),
                  CommandFrame("n"), "DRAXO_FLASHER"},
        ReplyCase{"ModelByte", InLoader(), CommandFrame("D"), "21"},
        ReplyCase{"OtherModelByte", With([](auto& o) { o.model = 0x0A; }, InLoader()), CommandFrame("D"), "0A"},
        ReplyCase{"SilentModel", With([](auto& o) { o.modelReply = ""; }, InLoader()), CommandFrame("D"), ""},
        ReplyCase{"CoreBlock", InLoader(), CoreFrame(1), kAck},
        ReplyCase{"CoreBlockWithBadCheck", InLoader(), WithBadCheck(CoreFrame(1)), kRefusal},
        ReplyCase{"CoreBlockTooLong", InLoader(), DataFrame("W", Pattern(261, 1)), kRefusal},
        ReplyCase{"MediaBlockRefusedByLoader", InLoader(), MediaFrame(0, 1), kRefusal},
        ReplyCase{"VersionRefused", InLoader(), CommandFrame("v"), kRefusal},
        ReplyCase{"ClockReadRefused", InLoader(), CommandFrame("t"), kRefusal},
        ReplyCase{"SetClockRefused", InLoader(), "\x1BT080C1A09050317\r", kRefusal}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Faults, ReplyTest,
                         ::testing::Values(ReplyCase{"SilentOnVersion", With([](auto& o) { o.silentOn = {"v"}; }),
                                                     CommandFrame("v"), ""},
                                           ReplyCase{"RefuseOnPing", With([](auto& o) { o.refuseOn = {"PFLASH"}; }),
                                                     CommandFrame("PFLASH"), kRefusal},
                                           ReplyCase{"GarbageOnSetClock", With([](auto& o) {
                                                         o.garbageOn = {{"T", "?"}};
                                                     }),
                                                     "\x1BT080C1A09050317\r", "?"},
                                           ReplyCase{"GarbageOnModel",
                                                     With(
                                                         [](auto& o) {
                                                             o.garbageOn = {{"D", "Z9"}};
                                                         },
                                                         InLoader()),
                                                     CommandFrame("D"), "Z9"},
                                           ReplyCase{"CarriageReturnAfterIdentity", With([](auto& o) {
                                                         o.appendOn = {{"n", "\r"}};
                                                     }),
                                                     CommandFrame("n"), "DRAXO_FLASHER\r"},
                                           ReplyCase{"ClockRecordTooLong", With([](auto& o) {
                                                         o.clock = kFixedClock;
                                                         o.appendOn = {{"t", "0"}};
                                                     }),
                                                     CommandFrame("t"), "0C0B1A0F1E2D000"},
                                           ReplyCase{"FaultOnOneCommandOnly", With([](auto& o) { o.silentOn = {"v"}; }),
                                                     CommandFrame("d"), "10.12.2026"}),
                         [](const auto& info) { return info.param.name; });

// --- Modes ------------------------------------------------------------------

TEST(DeviceModes, FollowTheUpdateSequence)
{
    DeviceEngine engine;
    EXPECT_FALSE(engine.InLoader());
    engine.Feed(CommandFrame("B"));
    EXPECT_TRUE(engine.InLoader());
    EXPECT_EQ(Replies(engine, CommandFrame("n")), "DRAXO_LOADER");
    EXPECT_EQ(Replies(engine, CoreFrame(1) + CoreFrame(2)), kAck + kAck);
    engine.Feed(CommandFrame("X"));
    EXPECT_FALSE(engine.InLoader());
    EXPECT_EQ(Replies(engine, CommandFrame("n")), "DRAXO_FLASHER");
    EXPECT_EQ(Replies(engine, MediaFrame(0, 3)), kAck);
    EXPECT_EQ(Replies(engine, "\x1BT080C1A09050317\r"), kAck);
}

TEST(DeviceModes, EndOfExchangeLeavesTheLoaderEvenWithoutCoreBlocks)
{
    DeviceEngine engine(InLoader());
    engine.Feed(CommandFrame("X"));
    EXPECT_FALSE(engine.InLoader());
    engine.Feed(CommandFrame("X"));
    EXPECT_FALSE(engine.InLoader());
}

TEST(DeviceModes, LoaderStartedAgainTakesTheCoreFromItsFirstBlock)
{
    DeviceEngine engine;
    EXPECT_EQ(Replies(engine, CommandFrame("B") + CoreFrame(1) + CommandFrame("B")), kAck);
    EXPECT_TRUE(engine.InLoader());
    EXPECT_EQ(Replies(engine, CommandFrame("n") + CoreFrame(9)), "DRAXO_LOADER" + kAck);
    EXPECT_EQ(engine.CoreImage(), Pattern(kCoreBlockSize, 9));
}

// --- Memories ---------------------------------------------------------------

TEST(CoreMemory, HoldsTheBlocksInTheOrderTaken)
{
    DeviceEngine engine(InLoader());
    engine.Feed(CoreFrame(1) + CoreFrame(2) + CoreFrame(3));
    Bytes expected = Pattern(kCoreBlockSize, 1);
    for (std::uint8_t seed : {2, 3}) {
        const Bytes block = Pattern(kCoreBlockSize, seed);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    EXPECT_EQ(engine.CoreImage(), expected);
}

TEST(CoreMemory, StartsEmptyWithEveryLoaderSession)
{
    DeviceEngine engine;
    engine.Feed(CommandFrame("B") + CoreFrame(1) + CoreFrame(2) + CommandFrame("X"));
    engine.Feed(CommandFrame("B") + CoreFrame(9) + CommandFrame("X"));
    EXPECT_EQ(engine.CoreImage(), Pattern(kCoreBlockSize, 9));
}

TEST(CoreMemory, KeepsNothingOfARefusedBlock)
{
    DeviceEngine engine(InLoader());
    EXPECT_EQ(Replies(engine, WithBadCheck(CoreFrame(1)) + DataFrame("W", Pattern(259, 1))), kRefusal + kRefusal);
    EXPECT_TRUE(engine.CoreImage().empty());
}

TEST(MediaMemory, PlacesBlocksByTheirNumber)
{
    DeviceEngine engine;
    EXPECT_EQ(Replies(engine, MediaFrame(258, 5) + MediaFrame(1, 6)), kAck + kAck);
    const Bytes media = engine.MediaImage();
    ASSERT_EQ(media.size(), 259 * kMediaBlockSize);
    const auto at = [&](int block) { return Bytes(media.begin() + block * 512, media.begin() + (block + 1) * 512); };
    EXPECT_EQ(at(258), Pattern(kMediaBlockSize, 5));
    EXPECT_EQ(at(1), Pattern(kMediaBlockSize, 6));
    EXPECT_EQ(at(0), Bytes(kMediaBlockSize, 0xFF)) << "a block never written reads erased";
}

TEST(MediaMemory, KeepsNothingOfARefusedBlock)
{
    DeviceEngine engine;
    EXPECT_EQ(Replies(engine, WithBadCheck(MediaFrame(0, 1))), kRefusal);
    EXPECT_TRUE(engine.MediaImage().empty());
}

TEST(FrameLog, NamesEveryFrameReadably)
{
    DeviceEngine engine;
    engine.Feed(CommandFrame("PFLASH") + CommandFrame("n") + "\x1BT080C1A09050317\r" + CommandFrame("B") +
                CoreFrame(1) + CommandFrame("X") + MediaFrame(258, 1) + CommandFrame("Q") + "\x1BWXYZ\r");
    EXPECT_EQ(engine.Frames(), (std::vector<std::string>{"PFLASH", "n", "T080C1A09050317", "B", "W[260]", "X",
                                                         "F[514]#258", "Q", "WXYZ"}));
}

// --- Clock ------------------------------------------------------------------

// A host clock that the test moves by hand.
struct FakeHostClock {
    sys_seconds now = sys_days{2026y / 12 / 8} + 9h + 5min + 3s;
    DeviceEngine::LocalClock Source()
    {
        return [this] { return now; };
    }
};

TEST(DeviceClock, FollowsTheHostClock)
{
    FakeHostClock host;
    DeviceEngine engine({}, host.Source());
    EXPECT_EQ(Replies(engine, CommandFrame("t")), "080C1A09050300");
}

TEST(DeviceClock, RunsOnFromTheTimeItWasSet)
{
    FakeHostClock host;
    DeviceEngine engine({}, host.Source());
    ASSERT_EQ(Replies(engine, DataFrame("T", {31, 12, 26, 23, 59, 58})), kAck);
    host.now += 2s;
    EXPECT_EQ(Replies(engine, CommandFrame("t")), "01011B00000000") << "into the new year";
    EXPECT_EQ(engine.LastClockSet(), (ClockSetting{31, 12, 26, 23, 59, 58}));
}

TEST(DeviceClock, FrozenClockTakesTheSetTimeAndKeepsItsLastByte)
{
    ClockRecord frozen = kFixedClock;
    frozen[6] = 0x05;
    DeviceEngine engine(With([&](auto& o) { o.clock = frozen; }));
    engine.Feed("\x1BT080C1A09050317\r");
    EXPECT_EQ(Replies(engine, CommandFrame("t")), "080C1A09050305");
}

TEST(DeviceClock, RefusedSettingLeavesTheClock)
{
    DeviceEngine engine(With([](auto& o) { o.clock = kFixedClock; }));
    engine.Feed(DataFrame("T", {31, 2, 26, 9, 5, 3}) + "\x1BT080C1A09050318\r");
    EXPECT_FALSE(engine.LastClockSet().has_value());
    EXPECT_EQ(Replies(engine, CommandFrame("t")), "0C0B1A0F1E2D00");
}

// --- Faults over a sequence -------------------------------------------------

TEST(BlockFaults, CoreBlockRefusedAsOftenAsAskedThenTaken)
{
    DeviceEngine engine(With([](auto& o) { o.refuseCoreBlock = {{1, 2}}; }, InLoader()));
    EXPECT_EQ(Replies(engine, CoreFrame(1)), kAck);
    EXPECT_EQ(Replies(engine, CoreFrame(2)), kRefusal);
    EXPECT_EQ(Replies(engine, CoreFrame(2)), kRefusal);
    EXPECT_EQ(Replies(engine, CoreFrame(2)), kAck);
    EXPECT_EQ(Replies(engine, CoreFrame(3)), kAck);
    Bytes expected;
    for (std::uint8_t seed : {1, 2, 3}) {
        const Bytes block = Pattern(kCoreBlockSize, seed);
        expected.insert(expected.end(), block.begin(), block.end());
    }
    EXPECT_EQ(engine.CoreImage(), expected);
}

TEST(BlockFaults, LostCoreBlockFrameHasNoEffectUntilItGetsThrough)
{
    DeviceEngine engine(With([](auto& o) { o.loseCoreBlock = {{1, 2}}; }, InLoader()));
    EXPECT_EQ(Replies(engine, CoreFrame(1)), kAck);
    EXPECT_EQ(Replies(engine, CoreFrame(2)), "");
    EXPECT_EQ(Replies(engine, CoreFrame(2)), "");
    EXPECT_EQ(Replies(engine, CoreFrame(2)), kAck);
    Bytes expected = Pattern(kCoreBlockSize, 1);
    const Bytes second = Pattern(kCoreBlockSize, 2);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(engine.CoreImage(), expected);
}

TEST(BlockFaults, CommandGoesSilentAfterItsAnswers)
{
    DeviceEngine engine(With([](auto& o) { o.silentAfter = {{"PFLASH", 1}}; }));
    EXPECT_EQ(Replies(engine, CommandFrame("PFLASH")), kAck);
    EXPECT_EQ(Replies(engine, CommandFrame("PFLASH")), "");
    EXPECT_EQ(Replies(engine, CommandFrame("n")), "DRAXO_FLASHER");
    EXPECT_EQ(Replies(engine, CommandFrame("PFLASH")), "");
}

TEST(BlockFaults, MediaBlockRefusedEveryTime)
{
    DeviceEngine engine(With([](auto& o) { o.refuseMediaBlock = {1}; }));
    EXPECT_EQ(Replies(engine, MediaFrame(0, 1) + MediaFrame(1, 2) + MediaFrame(1, 2) + MediaFrame(2, 3)),
              kAck + kRefusal + kRefusal + kAck);
    const Bytes media = engine.MediaImage();
    ASSERT_EQ(media.size(), 3 * kMediaBlockSize);
    EXPECT_EQ(Bytes(media.begin() + 512, media.begin() + 1024), Bytes(kMediaBlockSize, 0xFF));
}

TEST(BlockFaults, SilentCoreBlockIsNotStored)
{
    DeviceEngine engine(With([](auto& o) { o.silentOn = {"W"}; }, InLoader()));
    EXPECT_EQ(Replies(engine, CoreFrame(1)), "");
    EXPECT_TRUE(engine.CoreImage().empty());
}

TEST(BlockFaults, GarbledAcknowledgementStillStoresTheBlock)
{
    DeviceEngine engine(With([](auto& o) { o.garbageOn = {{"W", "\n"}}; }, InLoader()));
    EXPECT_EQ(Replies(engine, CoreFrame(1)), "\n");
    EXPECT_EQ(engine.CoreImage(), Pattern(kCoreBlockSize, 1));
}

struct VanishCase {
    std::string name;
    SimOptions options;
    std::string before;  // answered normally
    std::string fatal;   // the frame at which the device vanishes
};

std::ostream& operator<<(std::ostream& os, const VanishCase& c)
{
    return os << c.name;
}

class VanishTest : public ::testing::TestWithParam<VanishCase> {};

TEST_P(VanishTest, AnswersUpToTheFatalFrameThenNothing)
{
    const auto& c = GetParam();
    DeviceEngine engine(c.options);
    for (const auto& r : engine.Feed(c.before))
        EXPECT_FALSE(r.vanish) << r.command;
    const auto fatal = engine.Feed(c.fatal);
    ASSERT_EQ(fatal.size(), 1u);
    EXPECT_TRUE(fatal[0].vanish);
    EXPECT_EQ(fatal[0].reply, "");
    EXPECT_TRUE(engine.Vanished());
    EXPECT_TRUE(engine.Feed(CommandFrame("PFLASH")).empty()) << "a vanished device hears nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VanishTest,
    ::testing::Values(VanishCase{"AfterTwoFrames", With([](auto& o) { o.vanishAfterFrames = 2; }),
                                 CommandFrame("PFLASH") + CommandFrame("n"), CommandFrame("v")},
                      VanishCase{"AfterNoFrames", With([](auto& o) { o.vanishAfterFrames = 0; }), "",
                                 CommandFrame("PFLASH")},
                      VanishCase{"AtCoreBlockOne", With([](auto& o) { o.vanishAtCoreBlock = 1; }, InLoader()),
                                 CoreFrame(1), CoreFrame(2)},
                      VanishCase{"AtMediaBlock258", With([](auto& o) { o.vanishAtMediaBlock = 258; }),
                                 MediaFrame(0, 1) + MediaFrame(257, 1), MediaFrame(258, 1)}),
    [](const auto& info) { return info.param.name; });

TEST(BlockFaults, VanishingAtACoreBlockKeepsTheBlocksBefore)
{
    DeviceEngine engine(With([](auto& o) { o.vanishAtCoreBlock = 1; }, InLoader()));
    engine.Feed(CoreFrame(1) + CoreFrame(2));
    EXPECT_EQ(engine.CoreImage(), Pattern(kCoreBlockSize, 1));
}

TEST(ReplyDelay, AddsTheCommandsOwnDelayToTheCommonOne)
{
    DeviceEngine engine(With([](auto& o) {
        o.extraDelay = 20ms;
        o.delayOn = {{"v", 300ms}};
    }));
    const auto reactions = engine.Feed(CommandFrame("v") + CommandFrame("d"));
    ASSERT_EQ(reactions.size(), 2u);
    EXPECT_EQ(reactions[0].delay, 320ms);
    EXPECT_EQ(reactions[1].delay, 20ms);
}

}  // namespace
}  // namespace kt::sim
