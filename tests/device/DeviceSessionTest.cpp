// The readout and the clock over both simulated devices.
#include "device/DeviceSession.h"

#include "SessionFixture.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace kt {
namespace {

using namespace test;
using namespace std::chrono_literals;

// ---- Readout and clock ----

TEST_P(SessionTest, InfoButtonReadsEverythingAndClosesThePort)
{
    sim::SimOptions options;
    options.clock = sim::ClockRecord{0x0C, 0x0B, 0x1A, 0x0F, 0x1E, 0x2D, 0x00};
    Start(options);
    session.ToolInfoClick();
    EXPECT_EQ(host.log, (Lines{"ТЕЛВИКС обнаружен на порту " + sim->PortName(), "Считываю информацию о контроллере...",
                               "   Версия программного обеспечения: 3.0.12", "   Дата создания: 10.12.2026",
                               "   Версия железа: M2 rev.B", "   Показания часов: 12.11.2026 15:30:45",
                               "   DRAXO ID: TLV-M2-00042", ""}));
    EXPECT_FALSE(comm.Active());
    EXPECT_FALSE(session.Busy);
    EXPECT_TRUE(host.dialogs.empty());
}

TEST_P(SessionTest, DeviceInItsLoaderGivesThreeLines)
{
    sim::SimOptions options;
    options.startInLoader = true;
    Start(options);
    Connect();
    EXPECT_TRUE(session.ReadDeviceInfo());
    EXPECT_EQ(host.log, (Lines{"Считываю информацию о контроллере...", "   ТЕЛВИКС в режиме загрузчика!",
                               "   Дополнительная информация недоступна."}));
    EXPECT_EQ(Count("v"), 0);
}

struct ReadoutCase {
    std::string name;
    sim::SimOptions options;
    std::string missingLine;  // the prefix of the one line that must not appear
};

std::ostream& operator<<(std::ostream& os, const ReadoutCase& c)
{
    return os << c.name;
}

class ReadoutGap : public RowsOverBothDevices<ReadoutCase> {};

TEST_P(ReadoutGap, LeavesOutOnlyTheFailedLine)
{
    Start(Row().options);
    Connect();
    EXPECT_TRUE(session.ReadDeviceInfo());
    EXPECT_EQ(host.log.size(), 5u);
    for (const auto& line : host.log)
        EXPECT_NE(line.rfind(Row().missingLine, 0), 0u) << line;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadoutGap,
    EachOnBothDevices(ReadoutCase{"SilentVersion", With([](sim::SimOptions& o) { o.silentOn = {"v"}; }),
                                  "   Версия программного обеспечения"},
                      ReadoutCase{"RefusedDate", With([](sim::SimOptions& o) { o.refuseOn = {"d"}; }),
                                  "   Дата создания"},
                      ReadoutCase{"ClockOfThirteenCharacters", With([](sim::SimOptions& o) {
                                      o.garbageOn = {{"t", "0C0B1A0F1E2D0"}};
                                  }),
                                  "   Показания часов"},
                      ReadoutCase{"ClockNotHex", With([](sim::SimOptions& o) {
                                      o.garbageOn = {{"t", "0C0B1A0F1E2DZZ"}};
                                  }),
                                  "   Показания часов"},
                      ReadoutCase{"IdentityWithBadCheckByte",
                                  With([](sim::SimOptions& o) { o.badIdentityCheck = true; }), "   DRAXO ID"}),
    DeviceName());

TEST_P(SessionTest, SilentIdentityEndsTheReadout)
{
    sim::SimOptions options;
    options.silentOn = {"n"};
    Start(options);
    comm.SetComPort(sim->PortName());
    comm.Open();
    EXPECT_FALSE(session.ReadDeviceInfo());
    EXPECT_EQ(host.log, (Lines{"Считываю информацию о контроллере...", "   ОШИБКА при работе с контроллером!"}));
    EXPECT_EQ(Count("v"), 0);
}

// ---- Clock ----

TEST_P(SessionTest, ClockButtonSendsOneReadingOfTheLocalClock)
{
    Start();
    session.ToolTimeClick();
    EXPECT_EQ(host.log, (Lines{"ТЕЛВИКС обнаружен на порту " + sim->PortName(), "Синхронизация часов ...",
                               "   Часы успешно установлены.", ""}));
    EXPECT_EQ(Count("T080C1A09050317"), 1);
    EXPECT_FALSE(comm.Active());
}

struct ClockFailure {
    std::string name;
    sim::SimOptions options;
};

std::ostream& operator<<(std::ostream& os, const ClockFailure& c)
{
    return os << c.name;
}

class ClockFails : public RowsOverBothDevices<ClockFailure> {};

TEST_P(ClockFails, WithTheConnectionLine)
{
    Start(Row().options);
    comm.SetComPort(sim->PortName());
    comm.Open();
    EXPECT_FALSE(session.SyncClock());
    EXPECT_EQ(host.log, (Lines{"Синхронизация часов ...", "   ОШИБКА! Проблемы связи с контроллером."}));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClockFails,
    EachOnBothDevices(ClockFailure{"Refused", With([](sim::SimOptions& o) { o.refuseOn = {"T"}; })},
                      ClockFailure{"OtherCharacter", With([](sim::SimOptions& o) {
                                       o.garbageOn = {{"T", "A"}};
                                   })},
                      ClockFailure{"Silent", With([](sim::SimOptions& o) { o.silentOn = {"T"}; })},
                      ClockFailure{"NoPing", With([](sim::SimOptions& o) { o.silentOn = {"PFLASH"}; })}),
    DeviceName());

TEST_P(SessionTest, SecondOperationDuringASearchIsRefused)
{
    Start();
    int nested = 0;
    host.duringEvents = [&] {
        if (nested++ == 0)
            session.ToolTimeClick();  // a click that lands while the info search waits
    };
    session.ToolInfoClick();
    host.duringEvents = nullptr;
    EXPECT_EQ(Count("T080C1A09050317"), 0);
    EXPECT_FALSE(comm.Active());
    EXPECT_EQ(host.log.back(), "");
}

INSTANTIATE_TEST_SUITE_P(Devices, SessionTest, BothDevices(), DeviceName());

}  // namespace
}  // namespace kt
