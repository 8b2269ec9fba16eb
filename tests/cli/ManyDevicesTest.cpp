// kt-flash-cli on several devices at once (--port given more than once,
// --simulate N) and `watch`, run as a user runs them, against simulated
// devices on pseudo-terminals and inside the program.
#include "ChildProcess.h"
#include "PtyDevice.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kt::cli {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kPackage = std::string(KT_EXAMPLES) + "/telviks-m2-3.0.12.kvf";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The lines of one device: those that start with its prefix, the prefix taken off.
std::string LinesOf(const std::string& out, const std::string& port)
{
    const std::string prefix = port + ": ";
    std::string lines;
    for (const auto& line : Lines(out))
        if (line.rfind(prefix, 0) == 0)
            lines += line.substr(prefix.size()) + "\n";
    return lines;
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t count = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++count;
    return count;
}

// What one device's part of a successful update prints, the fixed clock's readout included.
std::string UpdateLog(const std::string& port)
{
    return "ОБНОВЛЕНИЕ начато, ожидайте...\n"
           "ТЕЛВИКС обнаружен на порту " +
           port +
           "\n"
           "Считываю информацию о контроллере...\n"
           "   Версия программного обеспечения: 3.0.12\n"
           "   Дата создания: 10.12.2026\n"
           "   Версия железа: M2 rev.B\n"
           "   Показания часов: 12.11.2026 15:30:45\n"
           "   DRAXO ID: TLV-M2-00042\n"
           "Обновление микропрограммы...\n   Данные успешно загружены.\n"
           "Обновление медиа данных...\n   Данные успешно загружены.\n"
           "Синхронизация часов ...\n   Часы успешно установлены.\n"
           "ОБНОВЛЕНИЕ завершено успешно!\n\n";
}

sim::SimOptions FixedClock()
{
    sim::SimOptions o;
    o.clock = sim::ClockRecord{0x0C, 0x0B, 0x1A, 0x0F, 0x1E, 0x2D, 0x00};
    return o;
}

class ManyDevices : public ::testing::Test {
protected:
    test::ProgramRun Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--settings", settings});
        return test::RunProgram(KT_CLI_PATH, args, dir.Path());
    }

    test::TempDir dir;
    std::string settings = (dir.Path() / "cli.INI").string();
    std::string records = (dir.Path() / "records.jsonl").string();
};

// Three devices on three ports: the middle one vanishes in its core transfer.
// The other two are updated whole, each line says whose it is, the table and
// the records tell each device's end, and the exit status tells the failure.
TEST_F(ManyDevices, AVanishingDeviceDisturbsNoOther)
{
    sim::SimOptions vanishing = FixedClock();
    vanishing.vanishAtCoreBlock = 3;
    sim::PtyDevice first(FixedClock());
    sim::PtyDevice second(vanishing);
    sim::PtyDevice third(FixedClock());
    const std::string a = first.SlavePath();
    const std::string b = second.SlavePath();
    const std::string c = third.SlavePath();
    const auto run = Run({"-p", a, "--port", b, "-p", c, "--yes", "--record", records, "update", kPackage});
    EXPECT_EQ(run.status, 1) << run.err;

    EXPECT_EQ(LinesOf(run.out, a), UpdateLog(a));
    EXPECT_EQ(LinesOf(run.out, c), UpdateLog(c));
    const std::string failed = LinesOf(run.out, b);
    EXPECT_NE(failed.find("   ОШИБКА загрузки данных.\n"), std::string::npos) << failed;
    EXPECT_NE(failed.find("Обновление завершено с ошибками!\n"), std::string::npos) << failed;
    EXPECT_EQ(first.CoreImage().size(), 3000u / 260 * 260);
    EXPECT_EQ(third.MediaImage().size(), 10240u);
    // Nothing but the package's own log comes without a device's prefix.
    std::string unowned;
    for (const auto& line : Lines(run.out))
        if (line.rfind(a + ": ", 0) != 0 && line.rfind(b + ": ", 0) != 0 && line.rfind(c + ": ", 0) != 0)
            unowned += line + "\n";
    EXPECT_EQ(unowned, Run({"open", kPackage}).out);

    // The closing table: one row per device, in the order given.
    const auto rowA = run.err.find("kt-flash-cli: " + a + " ");
    const auto rowB = run.err.find("kt-flash-cli: " + b + " ");
    const auto rowC = run.err.find("kt-flash-cli: " + c + " ");
    ASSERT_NE(rowA, std::string::npos) << run.err;
    ASSERT_NE(rowB, std::string::npos) << run.err;
    ASSERT_NE(rowC, std::string::npos) << run.err;
    EXPECT_LT(rowA, rowB);
    EXPECT_LT(rowB, rowC);
    const std::string row = run.err.substr(rowB, run.err.find('\n', rowB) - rowB);
    EXPECT_NE(row.find("device gone"), std::string::npos) << row;
    EXPECT_NE(row.find("core #3"), std::string::npos) << row;

    const auto lines = Lines(test::ReadWholeFile(records));
    ASSERT_EQ(lines.size(), 3u);
    std::map<std::string, std::string> byPort;
    for (const auto& line : lines)
        for (const auto& port : {a, b, c})
            if (line.find("\"port\":\"" + port + "\",\"ports_tried\"") != std::string::npos)
                byPort[port] = line;
    ASSERT_EQ(byPort.size(), 3u);
    EXPECT_NE(byPort[a].find("\"ok\":true"), std::string::npos) << byPort[a];
    EXPECT_NE(byPort[b].find("\"failed_step\":\"core\",\"failed_block\":3"), std::string::npos) << byPort[b];
    EXPECT_NE(byPort[b].find("\"stop_reason\":\"device_gone\""), std::string::npos) << byPort[b];
    EXPECT_NE(byPort[b].find("\"exit_status\":1"), std::string::npos) << byPort[b];
    const auto valid = test::RunProgram(KT_PYTHON, {KT_VALIDATE_RECORDS, KT_RECORD_SCHEMA, records}, dir.Path());
    EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
}

// Eight simulated devices inside the program: every one updated, once each.
TEST_F(ManyDevices, SimulateEightUpdatesEveryDevice)
{
    const auto run = Run({"--simulate", "8", "-y", "update", kPackage});
    EXPECT_EQ(run.status, 0) << run.err;
    for (int i = 1; i <= 8; ++i) {
        const std::string port = "SIM" + std::to_string(i);
        const std::string lines = LinesOf(run.out, port);
        EXPECT_EQ(Count(lines, "ОБНОВЛЕНИЕ завершено успешно!\n"), 1u) << port << "\n" << lines;
        EXPECT_EQ(Count(lines, "ТЕЛВИКС обнаружен на порту " + port + "\n"), 1u) << port;
        EXPECT_NE(run.err.find("kt-flash-cli: " + port + "  ok"), std::string::npos) << run.err;
    }
    // A confirmed update does not print its question.
    EXPECT_EQ(run.err.find("Вы уверены"), std::string::npos) << run.err;
}

TEST_F(ManyDevices, AllPortsWithoutAnyDeviceFails)
{
    // No serial port answers on a test machine; a machine without any says so.
    const auto run = Run({"--all-ports", "info"});
    EXPECT_EQ(run.status, 1) << run.err;
}

// A record file that cannot be kept stops the run before anything is sent.
TEST_F(ManyDevices, UnwritableRecordSendsNothing)
{
    sim::PtyDevice device;
    const std::string missing = (dir.Path() / "no-such-folder" / "r.jsonl").string();
    const auto run = Run({"-p", device.SlavePath(), "--record", missing, "info"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("cannot keep records in " + missing), std::string::npos) << run.err;
    EXPECT_TRUE(device.Frames().empty());
}

// Devices plugged in one after another are updated each once, and a device
// that stays connected is not updated again; a stop ends the watch.
TEST_F(ManyDevices, WatchUpdatesEachNewDeviceOnce)
{
    test::BackgroundProgram watch(
        KT_CLI_PATH, {"--settings", settings, "--simulate", "3", "--yes", "--record", records, "watch", kPackage},
        dir.Path());
    const auto deadline = Clock::now() + std::chrono::seconds(90);
    while (Clock::now() < deadline && Lines(test::ReadWholeFile(records)).size() < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(Lines(test::ReadWholeFile(records)).size(), 3u) << watch.Err();
    // Several more looks at the ports while the devices stay.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Wait(std::chrono::seconds(30)), 0) << watch.Err();
    const std::string out = watch.Out();
    for (int i = 1; i <= 3; ++i) {
        const std::string port = "SIM" + std::to_string(i);
        EXPECT_EQ(Count(LinesOf(out, port), "ОБНОВЛЕНИЕ начато, ожидайте...\n"), 1u) << port << "\n" << out;
        EXPECT_EQ(Count(LinesOf(out, port), "ОБНОВЛЕНИЕ завершено успешно!\n"), 1u) << port << "\n" << out;
    }
    EXPECT_EQ(Lines(test::ReadWholeFile(records)).size(), 3u);
    const auto valid = test::RunProgram(KT_PYTHON, {KT_VALIDATE_RECORDS, KT_RECORD_SCHEMA, records}, dir.Path());
    EXPECT_EQ(valid.status, 0) << valid.out << valid.err;
}

// A stop during the watch's updates ends them as stopped, and the exit status says so.
TEST_F(ManyDevices, StopDuringAWatchedUpdateEndsIt)
{
    test::BackgroundProgram watch(KT_CLI_PATH, {"--settings", settings, "--simulate", "1", "--yes", "watch", kPackage},
                                  dir.Path());
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (Clock::now() < deadline && watch.Out().find("SIM: Обновление микропрограммы...") == std::string::npos)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const auto stopped = Clock::now();
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Wait(std::chrono::seconds(30)), 1) << watch.Err();
    EXPECT_LT(Clock::now() - stopped, std::chrono::seconds(10)) << "the stop did not end the update";
    EXPECT_NE(watch.Out().find("SIM: Прервано пользователем!\n"), std::string::npos) << watch.Out();
}

}  // namespace
}  // namespace kt::cli
