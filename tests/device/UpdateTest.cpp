#include "SessionFixture.h"

#include "PackageWriter.h"
#include "serial/SpSafeSync.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <set>
#include <thread>

namespace kt {
namespace {

using namespace test;

const sim::ClockRecord kFixedClock{0x0C, 0x0B, 0x1A, 0x0F, 0x1E, 0x2D, 0x00};

Lines Readout()
{
    return {"Считываю информацию о контроллере...",
            "   Версия программного обеспечения: 3.0.12",
            "   Дата создания: 10.12.2026",
            "   Версия железа: M2 rev.B",
            "   Показания часов: 12.11.2026 15:30:45",
            "   DRAXO ID: TLV-M2-00042"};
}

const Lines kCoreDone = {"Обновление микропрограммы...", "   Данные успешно загружены."};
const Lines kMediaDone = {"Обновление медиа данных...", "   Данные успешно загружены."};
const Lines kClockDone = {"Синхронизация часов ...", "   Часы успешно установлены."};
const Lines kSuccess = {"ОБНОВЛЕНИЕ завершено успешно!", ""};
const Lines kFailure = {"", "Обновление завершено с ошибками!", ""};

Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

class UpdateFixture : public SessionFixture {
protected:
    using SessionFixture::SessionFixture;

    void Package(int coreSize, int flashSize, int device = 0x21)
    {
        package.CORE_SIZE = coreSize;
        package.FLASH_SIZE = flashSize;
        package.DEVICE = device;
        package.CORE = gen::PatternBytes(static_cast<std::size_t>(std::max(coreSize, 0)), 11);
        package.FLASH = gen::PatternBytes(static_cast<std::size_t>(std::max(flashSize, 0)), 12);
    }
    void StartDevice(sim::SimOptions options = {})
    {
        options.clock = kFixedClock;
        Start(std::move(options));
    }
    // The log from the line after "found on port" on.
    Lines AfterFound() const
    {
        EXPECT_GE(host.log.size(), 2u);
        EXPECT_EQ(host.log[0], "ОБНОВЛЕНИЕ начато, ожидайте...");
        EXPECT_EQ(host.log[1], "ТЕЛВИКС обнаружен на порту " + sim->PortName());
        return Lines(host.log.begin() + 2, host.log.end());
    }
    long CountPrefix(const std::string& prefix) const
    {
        const auto frames = sim->Frames();
        return std::count_if(frames.begin(), frames.end(),
                             [&](const std::string& f) { return f.rfind(prefix, 0) == 0; });
    }
};

class UpdateTest : public OverBothDevices<UpdateFixture> {};

TEST_P(UpdateTest, WritesBothImagesAndSetsTheClock)
{
    Package(3000, 1500);
    StartDevice();
    std::set<int> ranges;
    host.progress.OnChange([&](const ProgressBar& p) { ranges.insert(p.Max()); });

    EXPECT_TRUE(session.ToolFullFlashClick());

    EXPECT_EQ(AfterFound(), Concat({Readout(), kCoreDone, kMediaDone, kClockDone, kSuccess}));
    ASSERT_EQ(host.dialogs.size(), 2u);
    EXPECT_EQ(host.dialogs[0].message, "Вы уверены, что хотите обновить ТЕЛВИКС?");
    EXPECT_EQ(host.dialogs[0].buttons, DialogButtons::YesNo);
    EXPECT_EQ(host.dialogs[1].message, "ТЕЛВИКС готов к работе!");
    EXPECT_EQ(host.dialogs[1].kind, DialogKind::Information);

    // The core goes in whole 260-byte blocks; the tail that does not fill one is not sent.
    EXPECT_EQ(sim->CoreImage(), Bytes(package.CORE.begin(), package.CORE.begin() + 11 * 260));
    Bytes media = package.FLASH;
    media.resize(1536, 0xFF);
    EXPECT_EQ(sim->MediaImage(), media);
    const auto frames = sim->Frames();
    ASSERT_GE(frames.size(), 13u);
    EXPECT_EQ(Lines(frames.begin(), frames.begin() + 13),
              (Lines{"PFLASH", "n", "n", "v", "d", "h", "t", "s", "PFLASH", "B", "n", "D", "W[260]"}));
    EXPECT_EQ(CountPrefix("W["), 11);
    EXPECT_EQ(CountPrefix("F["), 3);
    EXPECT_EQ(Count("T080C1A09050317"), 1);
    EXPECT_EQ(sim->Frames().back(), "X");
    EXPECT_FALSE(comm.Active());
    EXPECT_TRUE(ranges.count(12));  // 11 core blocks + 1
    EXPECT_TRUE(ranges.count(4));   // 3 media blocks + 1
    EXPECT_EQ(host.progress.Position(), host.progress.Min());
    EXPECT_EQ(host.buttons, (std::array<bool, 4>{true, true, true, false}));
}

TEST_P(UpdateTest, AnsweringNoSendsNothing)
{
    Package(520, 512);
    StartDevice();
    host.dialogAnswer = ModalResult::No;
    EXPECT_FALSE(session.ToolFullFlashClick());
    EXPECT_TRUE(host.log.empty());
    EXPECT_TRUE(sim->Frames().empty());
    EXPECT_FALSE(comm.Active());
}

struct FailureCase {
    std::string name;
    int coreSize;
    int flashSize;
    int device;
    sim::SimOptions options;
    Lines afterReadout;  // up to the failure output
    Lines readout = Readout();
};

std::ostream& operator<<(std::ostream& os, const FailureCase& c)
{
    return os << c.name;
}

class UpdateFailure : public RowsOverBothDevices<FailureCase, UpdateFixture> {};

TEST_P(UpdateFailure, EndsWithItsLinesAndTheFailureOutput)
{
    const auto& c = Row();
    Package(c.coreSize, c.flashSize, c.device);
    StartDevice(c.options);

    EXPECT_FALSE(session.ToolFullFlashClick());

    EXPECT_EQ(AfterFound(), Concat({c.readout, c.afterReadout, kFailure}));
    ASSERT_EQ(host.dialogs.size(), 2u);
    EXPECT_EQ(
        host.dialogs[1].message,
        "Обновление завершено с ошибками!\rРабота ТЕЛВИКСа будет неправильной.\rПовторите процесс обновления заново!");
    EXPECT_EQ(host.dialogs[1].kind, DialogKind::Error);
    EXPECT_FALSE(comm.Active());
    EXPECT_FALSE(session.Busy);
}

const Lines kLoaderFailed = {"Обновление микропрограммы...", "   ОШИБКА! Не могу войти в режим загрузчика."};
const Lines kModelMismatch = {"Обновление микропрограммы...", "   ОШИБКА! Обновление не соответствует модели ТЕЛВИКСа!",
                              "   ОШИБКА! Ошибка при работе с контроллером."};

INSTANTIATE_TEST_SUITE_P(
    Cases, UpdateFailure,
    EachOnBothDevices(
        FailureCase{"NoCoreImage", 0, 512, 0x21, {}, {}},
        FailureCase{"WrongIdentityAfterB", 520, 512, 0x21,
                    With([](sim::SimOptions& o) { o.loaderIdentity = "DRAXO_FLASHER"; }), kLoaderFailed},
        FailureCase{"ModelMismatch", 520, 512, 0x22, {}, kModelMismatch},
        FailureCase{"ModelAboveAByte", 520, 512, 0x121, {}, kModelMismatch},
        FailureCase{"ModelSilentWithAnotherDevice", 520, 512, 5, With([](sim::SimOptions& o) { o.silentOn = {"D"}; }),
                    kModelMismatch},
        FailureCase{"CoreBlockRefusedThreeTimes",
                    520,
                    512,
                    0x21,
                    With([](sim::SimOptions& o) {
                        o.refuseCoreBlock = {{1, 3}};
                    }),
                    {"Обновление микропрограммы...", "   ОШИБКА загрузки данных."}},
        FailureCase{"MediaBlockRefusedOnce", 520, 1536, 0x21,
                    With([](sim::SimOptions& o) { o.refuseMediaBlock = {1}; }),
                    Concat({kCoreDone, {"Обновление медиа данных...", "   ОШИБКА загрузки данных."}})},
        // Twelve characters where thirteen are awaited: the query fails, not the mode check.
        FailureCase{"MediaStepAnsweredByTheLoader",
                    520,
                    512,
                    0x21,
                    With([](sim::SimOptions& o) { o.flasherIdentity = "DRAXO_LOADER"; }),
                    Concat({kCoreDone, {"Обновление медиа данных...", "   ОШИБКА при работе с контроллером!"}}),
                    {"Считываю информацию о контроллере...", "   ТЕЛВИКС в режиме загрузчика!",
                     "   Дополнительная информация недоступна."}},
        FailureCase{
            "MediaStepWrongIdentity", 520, 512, 0x21,
            With([](sim::SimOptions& o) { o.flasherIdentityAfterLoader = "DRAXO_FLASHEX"; }),
            Concat({kCoreDone, {"Обновление медиа данных...", "   ОШИБКА! Не могу войти в режим программирования."}})},
        FailureCase{"DeviceVanishesDuringTheMedia", 520, 4096, 0x21,
                    With([](sim::SimOptions& o) { o.vanishAtMediaBlock = 3; }),
                    Concat({kCoreDone, {"Обновление медиа данных...", "   ОШИБКА загрузки данных."}})},
        FailureCase{
            "ClockRefused", 520, 512, 0x21, With([](sim::SimOptions& o) { o.refuseOn = {"T"}; }),
            Concat({kCoreDone, kMediaDone, {"Синхронизация часов ...", "   ОШИБКА! Проблемы связи с контроллером."}})}),
    DeviceName());

struct SuccessCase {
    std::string name;
    int coreSize;
    int flashSize;
    int device;
    sim::SimOptions options;
    long coreBlocks;
    long mediaBlocks;
};

std::ostream& operator<<(std::ostream& os, const SuccessCase& c)
{
    return os << c.name;
}

class UpdateSucceeds : public RowsOverBothDevices<SuccessCase, UpdateFixture> {};

TEST_P(UpdateSucceeds, WithTheseBlocks)
{
    const auto& c = Row();
    Package(c.coreSize, c.flashSize, c.device);
    StartDevice(c.options);
    EXPECT_TRUE(session.ToolFullFlashClick());
    EXPECT_EQ(CountPrefix("W["), c.coreBlocks);
    EXPECT_EQ(CountPrefix("F["), c.mediaBlocks);
    EXPECT_EQ(Count("X"), 2);  // after the core blocks, and when the link closes
    EXPECT_EQ(host.log[host.log.size() - 2], "ОБНОВЛЕНИЕ завершено успешно!");
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateSucceeds,
                         EachOnBothDevices(SuccessCase{"CoreOfOneByteLessThanABlock", 259, 512, 0x21, {}, 0, 1},
                                           SuccessCase{"CoreOfThousandBytes", 1000, 512, 0x21, {}, 3, 1},
                                           SuccessCase{"NoMediaImage", 520, 0, 0x21, {}, 2, 0},
                                           SuccessCase{"NonHexModelReplySkipsTheCheck", 520, 512, 0x05,
                                                       With([](sim::SimOptions& o) { o.modelReply = "ZZ"; }), 2, 1},
                                           SuccessCase{"ModelSilentWithDeviceZero", 520, 512, 0,
                                                       With([](sim::SimOptions& o) { o.silentOn = {"D"}; }), 2, 1},
                                           SuccessCase{"CoreBlockAcceptedAtTheThirdAttempt", 780, 512, 0x21,
                                                       With([](sim::SimOptions& o) {
                                                           o.refuseCoreBlock = {{1, 2}};
                                                       }),
                                                       5, 1}),
                         DeviceName());

TEST_P(UpdateTest, MediaOfAThousandBytesIsPaddedAndNumbered)
{
    Package(260, 1000);
    StartDevice();
    ASSERT_TRUE(session.ToolFullFlashClick());
    EXPECT_EQ(Count("F[514]#0"), 1);
    EXPECT_EQ(Count("F[514]#1"), 1);
    Bytes media = package.FLASH;
    media.resize(1024, 0xFF);
    EXPECT_EQ(sim->MediaImage(), media);
    EXPECT_EQ(std::find(host.log.begin(), host.log.end(), "Обновление медиа данных...") != host.log.end(), true);
}

TEST_P(UpdateTest, BlockNumbersRunPast255)
{
    Package(260, 259 * 512);
    StartDevice();
    ASSERT_TRUE(session.ToolFullFlashClick());
    EXPECT_EQ(Count("F[514]#258"), 1);  // sent with the number bytes 02 01
    EXPECT_EQ(sim->MediaImage(), package.FLASH);
}

TEST_P(UpdateTest, StopRequestEndsTheCoreTransfer)
{
    Package(260 * 50, 512);
    StartDevice();
    host.duringEvents = [&] {
        if (CountPrefix("W[") >= 3)
            session.Abort();
    };
    EXPECT_FALSE(session.ToolFullFlashClick());
    EXPECT_LT(CountPrefix("W["), 10);
    EXPECT_EQ(AfterFound(), Concat({Readout(), {"Обновление микропрограммы...", "Прервано пользователем!"}, kFailure}));
    EXPECT_FALSE(comm.Active());
    EXPECT_EQ(sim->Frames().back(), "X");  // the device is told the exchange is over
}

// A quick device answers a frame before the write thread has released it
// from the write ring: the next frame must still be queued whole. Repeated,
// since the race depends on the scheduler.
TEST_P(UpdateTest, MultiMegabyteMediaGoesThroughEveryTime)
{
    Package(260, 2 * 1024 * 1024);
    for (int run = 0; run < 3; ++run) {
        host.log.clear();
        StartDevice();
        ASSERT_TRUE(session.ToolFullFlashClick()) << "run " << run;
        EXPECT_EQ(sim->MediaImage(), package.FLASH) << "run " << run;
    }
}

TEST_P(UpdateTest, PacedMediaGoesThrough)
{
    Package(260, 256 * 1024);
    sim::SimOptions options;
    options.baud = 1000000;
    StartDevice(options);
    ASSERT_TRUE(session.ToolFullFlashClick());
    EXPECT_EQ(sim->MediaImage(), package.FLASH);
}

// A frame the port cannot queue is the program's fault, not the device's
// refusal: it is shown through the exception display, the block is not tried
// again, and the update ends with its failure output.
TEST_P(UpdateTest, FrameThePortCannotQueueIsReportedAsTheProgramsFault)
{
    Package(520, 0);
    StartDevice();
    comm.SetOutBufSize(256);  // smaller than a core block's frame
    std::vector<std::string> shown;
    serial::SetSyncExceptionHandler([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            shown.emplace_back(e.what());
        }
    });
    const bool ok = session.ToolFullFlashClick();
    serial::SetSyncExceptionHandler(nullptr);

    EXPECT_FALSE(ok);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], "Write data error [requested: 525, free: 256] - Comm1 ");
    EXPECT_EQ(CountPrefix("W["), 0);
    EXPECT_EQ(AfterFound(),
              Concat({Readout(), {"Обновление микропрограммы...", "   ОШИБКА загрузки данных."}, kFailure}));
    EXPECT_FALSE(comm.Active());
}

// ---- Late acknowledgements ----

struct LateAckCase {
    std::string name;
    std::string command;  // "W" or "F"
    int delayMs;
    int baud;
};

std::ostream& operator<<(std::ostream& os, const LateAckCase& c)
{
    return os << c.name;
}

class LateAcknowledgement : public RowsOverBothDevices<LateAckCase, UpdateFixture> {};

// A slow flash page answers after the reply wait: the block must not go out
// again (the device would store it twice) and the next block must not take
// the late answer for its own.
TEST_P(LateAcknowledgement, StoresExactlyThePackage)
{
    const auto& c = Row();
    Package(2 * 260, 2 * 512);
    sim::SimOptions options;
    options.baud = c.baud;
    options.delayOn = {{c.command, std::chrono::milliseconds(c.delayMs)}};
    StartDevice(options);

    EXPECT_TRUE(session.ToolFullFlashClick());

    EXPECT_EQ(sim->CoreImage(), package.CORE);
    EXPECT_EQ(sim->MediaImage(), package.FLASH);
    EXPECT_EQ(CountPrefix("W["), 2);
    EXPECT_EQ(CountPrefix("F["), 2);
    EXPECT_EQ(host.log[host.log.size() - 2], "ОБНОВЛЕНИЕ завершено успешно!");
}

INSTANTIATE_TEST_SUITE_P(Cases, LateAcknowledgement,
                         EachOnBothDevices(LateAckCase{"CoreAfter300ms", "W", 300, 0},
                                           LateAckCase{"CoreAfter600msPaced", "W", 600, 1000000},
                                           LateAckCase{"CoreAfterOneSecond", "W", 1000, 0},
                                           LateAckCase{"CoreAfterOneSecondPaced", "W", 1000, 1000000},
                                           LateAckCase{"MediaAfter600ms", "F", 600, 0}),
                         DeviceName());

TEST_P(UpdateTest, CoreBlockTheDeviceNeverGotIsSentAgain)
{
    Package(3 * 260, 0);
    sim::SimOptions options;
    options.loseCoreBlock = {{1, 1}};
    StartDevice(options);
    EXPECT_TRUE(session.ToolFullFlashClick());
    EXPECT_EQ(sim->CoreImage(), package.CORE);
    EXPECT_EQ(CountPrefix("W["), 4);
}

TEST_P(UpdateTest, DeviceGoneDuringTheReadoutFailsIt)
{
    sim::SimOptions options;
    options.clock = kFixedClock;
    options.vanishAfterFrames = 4;  // the probe's "PFLASH" and "n", then "n" and "v"; gone at "d"
    Start(options);
    const auto start = Clock::now();
    EXPECT_FALSE(session.ToolInfoClick());
    EXPECT_EQ(host.log,
              (Lines{"ТЕЛВИКС обнаружен на порту " + sim->PortName(), "Считываю информацию о контроллере...",
                     "   Версия программного обеспечения: 3.0.12", "   ОШИБКА при работе с контроллером!", ""}));
    EXPECT_FALSE(comm.Active());
    // Probe, "n" and "v" take 250 ms each; the lost device costs no more waits.
    EXPECT_LT(Elapsed(start), 1500);
}

// ---- Stops ----

enum class Operation { Info, Time, Update };

struct StopCase {
    std::string name;
    Operation operation;
    sim::SimOptions options;
    int coreSize;
    int flashSize;
    std::function<bool(const Lines& frames)> when;  // the moment the user stops
    Lines tail;                                     // the log's last lines
};

std::ostream& operator<<(std::ostream& os, const StopCase& c)
{
    return os << c.name;
}

class StopMoment : public RowsOverBothDevices<StopCase, UpdateFixture> {};

TEST_P(StopMoment, SendsNothingThatChangesTheDeviceAndEndsCleanly)
{
    const auto& c = Row();
    Package(c.coreSize, c.flashSize);
    sim::SimOptions options = c.options;
    options.clock = kFixedClock;
    Start(options);
    const std::string remembered = session.PortName;
    std::optional<std::size_t> stoppedAt;
    host.duringEvents = [&] {
        const auto frames = sim->Frames();
        if (!stoppedAt && c.when(frames)) {
            session.Abort();
            // A frame written before the stop may still be on its way to the device.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            stoppedAt = sim->Frames().size();
        }
    };

    bool ok = true;
    switch (c.operation) {
    case Operation::Info:
        ok = session.ToolInfoClick();
        break;
    case Operation::Time:
        ok = session.ToolTimeClick();
        break;
    case Operation::Update:
        ok = session.ToolFullFlashClick();
        break;
    }

    EXPECT_FALSE(ok);
    ASSERT_TRUE(stoppedAt.has_value());
    const auto frames = sim->Frames();
    for (std::size_t i = *stoppedAt; i < frames.size(); ++i)
        EXPECT_FALSE(ChangesTheDevice(frames[i])) << "frame " << frames[i] << " after the stop";
    ASSERT_GE(host.log.size(), c.tail.size());
    EXPECT_EQ(Lines(host.log.end() - static_cast<std::ptrdiff_t>(c.tail.size()), host.log.end()), c.tail);
    EXPECT_EQ(std::count(host.log.begin(), host.log.end(), "Прервано пользователем!"), 1);
    EXPECT_EQ(session.PortName, remembered);
    EXPECT_FALSE(comm.Active());
    EXPECT_FALSE(session.Busy);
}

const Lines kStoppedUpdate = {"Прервано пользователем!", "", "Обновление завершено с ошибками!", ""};

INSTANTIATE_TEST_SUITE_P(
    Cases, StopMoment,
    EachOnBothDevices(StopCase{"UpdateDuringTheSearch",
                               Operation::Update,
                               With([](sim::SimOptions& o) { o.silentOn = {"PFLASH"}; }),
                               520,
                               512,
                               [](const Lines& f) { return CountOf(f, "PFLASH") >= 2; },
                               {"ОБНОВЛЕНИЕ начато, ожидайте...", "Прервано пользователем!", ""}},
                      StopCase{"UpdateDuringTheReadout",
                               Operation::Update,
                               {},
                               520,
                               512,
                               [](const Lines& f) { return CountOf(f, "v") >= 1; },
                               kStoppedUpdate},
                      StopCase{"UpdateBetweenCoreAndMedia",
                               Operation::Update,
                               {},
                               520,
                               512,
                               [](const Lines& f) { return CountOf(f, "W[") >= 2 && f.back() == "X"; },
                               Concat({{"   Данные успешно загружены."}, kStoppedUpdate})},
                      StopCase{"UpdateDuringTheCoreTransfer",
                               Operation::Update,
                               {},
                               260 * 40,
                               512,
                               [](const Lines& f) { return CountOf(f, "W[") >= 3; },
                               Concat({{"Обновление микропрограммы..."}, kStoppedUpdate})},
                      StopCase{"UpdateDuringTheMediaTransfer",
                               Operation::Update,
                               {},
                               520,
                               512 * 40,
                               [](const Lines& f) { return CountOf(f, "F[") >= 3; },
                               Concat({{"Обновление медиа данных..."}, kStoppedUpdate})},
                      // The clock step's presence check goes unanswered: the stop comes before "T".
                      StopCase{"UpdateDuringTheClock", Operation::Update, With([](sim::SimOptions& o) {
                                   o.silentAfter = {{"PFLASH", 3}};
                               }),
                               520, 512, [](const Lines& f) { return CountOf(f, "PFLASH") >= 4; },
                               Concat({{"Синхронизация часов ..."}, kStoppedUpdate})},
                      StopCase{"InfoDuringTheReadout",
                               Operation::Info,
                               {},
                               0,
                               0,
                               [](const Lines& f) { return CountOf(f, "n") >= 2; },
                               {"Считываю информацию о контроллере...", "Прервано пользователем!", ""}},
                      StopCase{"TimeBeforeTheClockIsSent",
                               Operation::Time,
                               With([](sim::SimOptions& o) {
                                   o.silentAfter = {{"PFLASH", 1}};
                               }),
                               0,
                               0,
                               [](const Lines& f) { return CountOf(f, "PFLASH") >= 2; },
                               {"Синхронизация часов ...", "Прервано пользователем!", ""}}),
    DeviceName());

INSTANTIATE_TEST_SUITE_P(Devices, UpdateTest, BothDevices(), DeviceName());

}  // namespace
}  // namespace kt
