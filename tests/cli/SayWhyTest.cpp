// Every way of not reaching the device tells, on standard error, the port and
// its own reason, while the log keeps its fixed lines; and the record says
// the same.
#include "ChildProcess.h"
#include "PtyDevice.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace kt::cli {
namespace {

const std::string kNotConnected = "ОШИБКА! ТЕЛВИКС не подключен к компьютеру.\n\n";

// The port a case names, and whatever holds its state until the run ends.
struct Fixture {
    std::string port;
    std::shared_ptr<void> keep;
};

struct WhyCase {
    std::string name;
    std::function<Fixture(const test::TempDir&)> make;
    std::string said;     // standard error holds "kt-flash-cli: PORT: " + this
    std::string outcome;  // the record's word
    bool asNobody = false;
};

std::ostream& operator<<(std::ostream& os, const WhyCase& c)
{
    return os << c.name;
}

class SayWhy : public ::testing::TestWithParam<WhyCase> {};

TEST_P(SayWhy, TheReasonForThePortShowsAndTheLogStaysFixed)
{
    const WhyCase& c = GetParam();
    if (c.asNobody && geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    test::TempDir dir;
    const Fixture fixture = c.make(dir);
    const std::string settings = (dir.Path() / "cli.INI").string();
    const std::string records = (dir.Path() / "records.jsonl").string();
    // The folder must let "nobody" write its record and its settings.
    chmod(dir.Path().c_str(), 0777);
    const std::vector<std::string> args = {"--settings", settings, "--record", records, "--port", fixture.port, "info"};
    // Run by "nobody" where it matters: root may open any node.
    test::BackgroundProgram cli(KT_CLI_PATH, args, dir.Path(), c.asNobody);
    const int status = cli.Wait(std::chrono::seconds(60));
    const test::ProgramRun run{status, cli.Out(), cli.Err()};
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, kNotConnected);
    EXPECT_NE(run.err.find("kt-flash-cli: " + fixture.port + ": " + c.said + "\n"), std::string::npos) << run.err;
    const std::string record = test::ReadWholeFile(records);
    EXPECT_NE(record.find("\"ports_tried\":[{\"port\":\"" + fixture.port + "\",\"outcome\":\"" + c.outcome + "\""),
              std::string::npos)
        << record;
    EXPECT_NE(record.find("\"stop_reason\":\"no_device\""), std::string::npos) << record;
}

Fixture MissingPath(const test::TempDir& dir)
{
    return {(dir.Path() / "ttyUSB9").string(), nullptr};
}

Fixture PlainFile(const test::TempDir& dir)
{
    const std::string path = (dir.Path() / "not-a-port").string();
    std::ofstream(path) << "text";
    return {path, nullptr};
}

Fixture SilentDevice(const test::TempDir&)
{
    sim::SimOptions options;
    options.silentOn = {"PFLASH"};
    auto device = std::make_shared<sim::PtyDevice>(options);
    return {device->SlavePath(), device};
}

// The port held under lock by another program: this test's own process.
Fixture HeldUnderLock(const test::TempDir&)
{
    auto device = std::make_shared<sim::PtyDevice>();
    const int fd = open(device->SlavePath().c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0)
        throw std::runtime_error("cannot hold the port");
    auto holder = std::shared_ptr<void>(nullptr, [fd, device](void*) { close(fd); });
    return {device->SlavePath(), holder};
}

// A port like a real one: root:dialout, read and write for the group only.
Fixture DialoutPort(const test::TempDir&)
{
    auto device = std::make_shared<sim::PtyDevice>();
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr || chown(device->SlavePath().c_str(), 0, dialout->gr_gid) != 0 ||
        chmod(device->SlavePath().c_str(), 0660) != 0)
        throw std::runtime_error("cannot give the port to dialout");
    return {device->SlavePath(), device};
}

std::string HeldByThisTest()
{
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return "held by another program: " + name + " (PID " + std::to_string(getpid()) + ")";
}

INSTANTIATE_TEST_SUITE_P(
    Causes, SayWhy,
    ::testing::Values(WhyCase{"MissingPath", MissingPath, "no such device", "no_such_device"},
                      WhyCase{"PlainFile", PlainFile, "not a serial port", "not_a_terminal"},
                      WhyCase{"SilentDevice", SilentDevice, "no answer: nothing answered the presence probe",
                              "no_answer"},
                      WhyCase{"HeldUnderLock", HeldUnderLock, HeldByThisTest(), "busy"},
                      WhyCase{"NoPermission", DialoutPort,
                              "permission denied: add your user to the dialout group (sudo usermod -aG dialout $USER) "
                              "and log in again",
                              "no_permission", true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kt::cli
