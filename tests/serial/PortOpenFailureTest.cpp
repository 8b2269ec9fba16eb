// Why a port could not be opened, as the caller of TSpComPort::Open learns it
// from ESpComPortCoreError. Each cause is made for real: paths that lead to no
// serial port, a pseudo-terminal held by another port of this process or
// locked by another process, a node its user may not open.
#include "serial/SpComPort.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "PtyPair.h"
#include "ChildProcess.h"
#include "TestSupport.h"
#include "serial/SerialDevice_linux.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {

void PrintTo(const PortHolder& holder, std::ostream* os)
{
    *os << "PID " << holder.pid << " \"" << holder.name << "\"";
}

namespace {

namespace fs = std::filesystem;
using test::PtyPair;

// Far longer than a child process needs to start and lock the port, on a loaded machine.
constexpr int kChildReadyTimeoutMs = 10000;

// What the caller of Open learns when it fails.
struct OpenOutcome {
    std::string message;  // what(); empty when the port opened
    PortOpenFailure failure = PortOpenFailure::None;
    std::string detail;
};

OpenOutcome tryOpen(TSpComPort& port, const std::string& path)
{
    port.SetComPort(path);
    try {
        port.Open();
    } catch (const ESpComPortCoreError& e) {
        return {e.what(), e.Failure(), e.Detail()};
    }
    return {};
}

// tryOpen on a port of its own as "nobody": root may open any node.
OpenOutcome tryOpenAsNobody(const std::string& path)
{
    const std::string record = kt::test::AsUnprivilegedUser([&] {
        TSpComPort port;
        const OpenOutcome outcome = tryOpen(port, path);
        return std::to_string(static_cast<int>(outcome.failure)) + '\n' + outcome.detail + '\n' + outcome.message;
    });
    const auto firstBreak = record.find('\n');
    const auto secondBreak = firstBreak == std::string::npos ? firstBreak : record.find('\n', firstBreak + 1);
    if (secondBreak == std::string::npos)
        return {record, PortOpenFailure::None, ""};
    return {record.substr(secondBreak + 1), static_cast<PortOpenFailure>(std::stoi(record.substr(0, firstBreak))),
            record.substr(firstBreak + 1, secondBreak - firstBreak - 1)};
}

// Another program with the port open and locked, as terminal programs hold it.
class PortHoldingProcess {
public:
    static constexpr const char* kName = "port-holder";

    explicit PortHoldingProcess(const std::string& path)
    {
        int ready[2];
        int hold[2];
        if (::pipe(ready) != 0 || ::pipe(hold) != 0)
            throw std::runtime_error("no pipe for the holding process");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            ::prctl(PR_SET_NAME, kName);
            const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            const char locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
            [[maybe_unused]] const auto told = ::write(ready[1], &locked, 1);
            // Holds on until the test closes its end.
            char byte;
            while (::read(hold[0], &byte, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        release_ = hold[1];
        pollfd wait{ready[0], POLLIN, 0};
        char locked = 'n';
        if (::poll(&wait, 1, kChildReadyTimeoutMs) != 1 || ::read(ready[0], &locked, 1) != 1)
            locked = 'n';
        ::close(ready[0]);
        if (locked != 'y') {
            release();
            throw std::runtime_error("the holding process could not lock " + path);
        }
    }
    ~PortHoldingProcess() { release(); }
    PortHoldingProcess(const PortHoldingProcess&) = delete;
    PortHoldingProcess& operator=(const PortHoldingProcess&) = delete;

    int pid() const { return static_cast<int>(pid_); }

    // The process lets go of the port and ends.
    void release()
    {
        if (release_ >= 0)
            ::close(release_);
        release_ = -1;
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_ = -1;  // closing it ends the process
};

// A node given the group and mode a serial port's node has (root:dialout
// 0660) for as long as the scope lasts.
class NodeAccessScope {
public:
    NodeAccessScope(const std::string& path, gid_t group, mode_t mode) : path_(path)
    {
        if (::stat(path.c_str(), &original_) != 0 || ::chown(path.c_str(), static_cast<uid_t>(-1), group) != 0 ||
            ::chmod(path.c_str(), mode) != 0)
            throw std::runtime_error("cannot change the access of " + path);
    }
    ~NodeAccessScope()
    {
        ::chown(path_.c_str(), static_cast<uid_t>(-1), original_.st_gid);
        ::chmod(path_.c_str(), original_.st_mode & 07777);
    }
    NodeAccessScope(const NodeAccessScope&) = delete;
    NodeAccessScope& operator=(const NodeAccessScope&) = delete;

private:
    std::string path_;
    struct stat original_ {};
};

// Where a case opens and what it should be told.
struct Scene {
    std::string path;
    std::string detail;
    bool asNobody = false;
    bool holderLetsGo = false;  // the case then lets go of the port, which must open again
};

class PortOpenFailureTest;

struct Cause {
    const char* name;
    Scene (*make)(PortOpenFailureTest&);
    PortOpenFailure failure;
    const char* message;  // what(), with %s for the path
};

std::ostream& operator<<(std::ostream& os, const Cause& c)
{
    return os << c.name;
}

class PortOpenFailureTest : public ::testing::TestWithParam<Cause> {
public:
    void SetUp() override { SetSyncMainThread(); }
    void TearDown() override { port_.Close(); }

    std::string folder() const { return dir_.Path().string(); }
    std::string plainFile() const { return dir_.Write("plain", "not a port"); }
    std::string linkToItself() const
    {
        const auto link = dir_.Path() / "loop";
        fs::create_symlink(link.filename(), link);
        return link.string();
    }
    const std::string& ptyPath() const { return pty_.slavePath(); }

    void holdInAnotherPort()
    {
        otherPort_ = std::make_unique<TSpComPort>();
        otherPort_->SetComPort(ptyPath());
        otherPort_->Open();
    }
    int holdInAnotherProcess()
    {
        otherProcess_ = std::make_unique<PortHoldingProcess>(ptyPath());
        return otherProcess_->pid();
    }
    void makeNodeDialoutOnly()
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "only root can give a node a group its user is not in";
        const group* dialout = ::getgrnam("dialout");
        if (dialout == nullptr)
            GTEST_SKIP() << "this system has no dialout group";
        access_ = std::make_unique<NodeAccessScope>(ptyPath(), dialout->gr_gid, 0660);
    }
    void letGo()
    {
        if (otherPort_)
            otherPort_->Close();
        if (otherProcess_)
            otherProcess_->release();
    }

protected:
    PtyPair pty_;
    kt::test::TempDir dir_;
    TSpComPort port_;
    std::unique_ptr<TSpComPort> otherPort_;
    std::unique_ptr<PortHoldingProcess> otherProcess_;
    std::unique_ptr<NodeAccessScope> access_;
};

TEST_P(PortOpenFailureTest, CallerLearnsWhy)
{
    const Cause& cause = GetParam();
    const Scene scene = cause.make(*this);
    if (IsSkipped())
        return;
    int opens = 0;
    port_.OnPortOpen = [&](TSpCustomSerialPort&) { ++opens; };

    const OpenOutcome outcome = scene.asNobody ? tryOpenAsNobody(scene.path) : tryOpen(port_, scene.path);
    std::string message = cause.message;
    message.replace(message.find("%s"), 2, scene.path);
    EXPECT_EQ(outcome.message, message);
    EXPECT_EQ(outcome.failure, cause.failure);
    EXPECT_EQ(outcome.detail, scene.detail);
    EXPECT_FALSE(port_.Active());
    EXPECT_EQ(opens, 0);

    if (scene.holderLetsGo) {
        letGo();
        EXPECT_NO_THROW(port_.Open()) << "the port is free again";
        EXPECT_EQ(opens, 1);
    }
}

const std::string kDialoutHint =
    "permission denied: add your user to the dialout group (sudo usermod -aG dialout $USER) and log in again";

INSTANTIATE_TEST_SUITE_P(
    Open, PortOpenFailureTest,
    ::testing::Values(Cause{"MissingPath",
                            [](PortOpenFailureTest& fixture) {
                                return Scene{fixture.folder() + "/ttyUSB9", "no such device"};
                            },
                            PortOpenFailure::NoSuchDevice, "Invalid port number (%s)"},
                      Cause{"PathThroughAFile",
                            [](PortOpenFailureTest& fixture) {
                                return Scene{fixture.plainFile() + "/ttyUSB0", "no such device"};
                            },
                            PortOpenFailure::NoSuchDevice, "Invalid port number (%s)"},
                      Cause{"Folder",
                            [](PortOpenFailureTest& fixture) {
                                return Scene{fixture.folder(), "not a serial port"};
                            },
                            PortOpenFailure::NotATerminal, "Invalid port number (%s)"},
                      Cause{"RegularFile",
                            [](PortOpenFailureTest& fixture) {
                                return Scene{fixture.plainFile(), "not a serial port"};
                            },
                            PortOpenFailure::NotATerminal, "Invalid port number (%s)"},
                      Cause{"DeviceThatIsNoTty",
                            [](PortOpenFailureTest&) {
                                return Scene{"/dev/null", "not a serial port"};
                            },
                            PortOpenFailure::NotATerminal, "Invalid port number (%s)"},
                      Cause{"OpenInAnotherPort",
                            [](PortOpenFailureTest& fixture) {
                                fixture.holdInAnotherPort();
                                return Scene{fixture.ptyPath(), "already open in this program", false, true};
                            },
                            PortOpenFailure::Busy, "Can't open device %s"},
                      Cause{"LockedByAnotherProgram",
                            [](PortOpenFailureTest& fixture) {
                                const int pid = fixture.holdInAnotherProcess();
                                return Scene{fixture.ptyPath(),
                                             "held by another program: " + std::string(PortHoldingProcess::kName) +
                                                 " (PID " + std::to_string(pid) + ")",
                                             false, true};
                            },
                            PortOpenFailure::Busy, "Can't open device %s"},
                      Cause{"LinkToItself",
                            [](PortOpenFailureTest& fixture) {
                                return Scene{fixture.linkToItself(), "Too many levels of symbolic links"};
                            },
                            PortOpenFailure::Other, "Can't open device %s"},
                      Cause{"NodeItsUserMayNotOpen",
                            [](PortOpenFailureTest& fixture) {
                                fixture.makeNodeDialoutOnly();
                                return Scene{fixture.ptyPath(), kDialoutHint, true};
                            },
                            PortOpenFailure::NoPermission, "Can't open device %s"}),
    [](const auto& row) { return std::string(row.param.name); });

// A /proc of a few processes, made of folders, files and symbolic links.
class FakeProc {
public:
    const fs::path& root() const { return dir_.Path(); }

    // A process whose descriptors lead to `targets`; comm is its command name, null for none.
    void process(const std::string& pid, const char* comm, const std::vector<fs::path>& targets) const
    {
        const auto folder = root() / pid;
        fs::create_directories(folder / "fd");
        for (std::size_t fd = 0; fd < targets.size(); ++fd)
            fs::create_symlink(targets[fd], folder / "fd" / std::to_string(fd));
        if (comm != nullptr)
            dir_.Write(pid + "/comm", std::string(comm) + "\n");
    }

private:
    kt::test::TempDir dir_;
};

TEST(PortHolderScan, NamesEveryProcessWithTheDeviceOpenInPidOrder)
{
    PtyPair pty;
    FakeProc proc;
    proc.process("12", "minicom", {"/dev/null", pty.slavePath()});
    proc.process("7", "picocom", {pty.slavePath()});
    proc.process("40", nullptr, {"/dev/null", "/dev/null", pty.slavePath()});
    proc.process("8", "bash", {"/dev/null"});
    // Not a process: a link to one, and a kernel folder with an fd folder of its own.
    fs::create_directory_symlink("12", proc.root() / "self");
    proc.process("tty", "tty", {pty.slavePath()});

    EXPECT_EQ(findPortHolders(proc.root(), pty.slavePath()),
              (std::vector<PortHolder>{{7, "picocom"}, {12, "minicom"}, {40, ""}}));
}

TEST(PortHolderScan, SkipsProcessesThatEndedOrCannotBeRead)
{
    PtyPair pty;
    FakeProc proc;
    proc.process("3", "picocom", {pty.slavePath()});
    // Ended during the scan: its descriptor leads nowhere, or its folder is empty.
    proc.process("5", "cat", {proc.root() / "gone"});
    fs::create_directories(proc.root() / "6");

    EXPECT_EQ(findPortHolders(proc.root(), pty.slavePath()), (std::vector<PortHolder>{{3, "picocom"}}));
    EXPECT_TRUE(findPortHolders(proc.root() / "missing", pty.slavePath()).empty());
}

}  // namespace
}  // namespace kt::serial
