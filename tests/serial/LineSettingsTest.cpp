// The line settings the port hands to the tty, read back from the far end of a
// pseudo-terminal: Linux answers termios requests on the master with the slave's.
#include <asm/termbits.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "serial/SpComPort.h"
#include "serial/SpSafeSync.h"

namespace kt::serial {
namespace {

// The application's speed (it has a B constant), a common one, and one that
// only BOTHER can set.
constexpr int kApplicationBaud = 1000000;
constexpr int kStandardBaud = 115200;
constexpr int kOtherBaud = 250000;

// The master side of a pseudo-terminal, kept for reading the slave's settings.
class PtyMaster {
public:
    PtyMaster()
    {
        fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (fd_ < 0 || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0 || ::ptsname_r(fd_, name, sizeof name) != 0)
            throw std::runtime_error("cannot create a pseudo-terminal");
        slavePath_ = name;
    }
    ~PtyMaster() { ::close(fd_); }
    PtyMaster(const PtyMaster&) = delete;
    PtyMaster& operator=(const PtyMaster&) = delete;

    const std::string& SlavePath() const { return slavePath_; }

    termios2 SlaveSettings() const
    {
        termios2 settings{};
        if (::ioctl(fd_, TCGETS2, &settings) != 0)
            throw std::runtime_error("cannot read the line settings");
        return settings;
    }

private:
    int fd_ = -1;
    std::string slavePath_;
};

struct LineCase {
    std::string name;
    int baud;
    TSpParity parity = paNone;
    TSpStopbits stopbits = sbOne;
    TSpFlowControl flow = fwNone;
};

std::ostream& operator<<(std::ostream& os, const LineCase& c)
{
    return os << c.name;
}

bool IsSet(tcflag_t flags, tcflag_t bit)
{
    return (flags & bit) != 0;
}

// Data bits and parity enable are left out: a pseudo-terminal slave keeps
// CS8 and clears PARENB whatever it is given (Linux 6.0 on); PARODD stays.
void ExpectLine(const termios2& line, const LineCase& c)
{
    EXPECT_EQ(line.c_ospeed, static_cast<speed_t>(c.baud)) << "output speed";
    EXPECT_EQ(line.c_ispeed, static_cast<speed_t>(c.baud)) << "input speed";
    EXPECT_EQ(IsSet(line.c_cflag, CSTOPB), c.stopbits == sbTwo);
    EXPECT_EQ(IsSet(line.c_cflag, PARODD), c.parity == paOdd);
    EXPECT_EQ(IsSet(line.c_cflag, CRTSCTS), c.flow == fwRtsCts);
    EXPECT_TRUE(IsSet(line.c_cflag, CLOCAL)) << "modem lines must not hold the line";
    // Raw: no line editing, echo, signals, output processing, CR translation or XON/XOFF.
    EXPECT_FALSE(IsSet(line.c_lflag, ICANON));
    EXPECT_FALSE(IsSet(line.c_lflag, ECHO));
    EXPECT_FALSE(IsSet(line.c_lflag, ISIG));
    EXPECT_FALSE(IsSet(line.c_oflag, OPOST));
    EXPECT_FALSE(IsSet(line.c_iflag, ICRNL));
    EXPECT_FALSE(IsSet(line.c_iflag, IXON));
    EXPECT_FALSE(IsSet(line.c_iflag, IXOFF));
}

class LineSettings : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetSyncMainThread();
        port_.SetComPort(master_.SlavePath());
    }
    void TearDown() override { port_.Close(); }

    void Apply(const LineCase& c)
    {
        port_.SetBaudRate(c.baud);
        port_.SetDatabits(db8);
        port_.SetParity(c.parity);
        port_.SetStopbits(c.stopbits);
        port_.SetFlowControl(c.flow);
    }

    PtyMaster master_;
    TSpComPort port_;
};

class LineSettingsOnOpen : public LineSettings, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettingsOnOpen, ReachTheTty)
{
    const auto& c = GetParam();
    Apply(c);
    port_.Open();
    ExpectLine(master_.SlaveSettings(), c);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LineSettingsOnOpen,
    ::testing::Values(LineCase{"Application8N1", kApplicationBaud}, LineCase{"Standard8N1", kStandardBaud},
                      LineCase{"SpeedWithoutAConstant", kOtherBaud},
                      LineCase{"TwoStopBits", kStandardBaud, paNone, sbTwo},
                      LineCase{"EvenParity", kStandardBaud, paEven}, LineCase{"OddParity", kStandardBaud, paOdd},
                      LineCase{"RtsCts", kApplicationBaud, paNone, sbOne, fwRtsCts},
                      LineCase{"OddTwoStopBitsRtsCtsWithoutAConstant", kOtherBaud, paOdd, sbTwo, fwRtsCts}),
    [](const auto& row) { return row.param.name; });

TEST_F(LineSettings, ChangesWhileOpenReachTheTty)
{
    const LineCase before{"Before", kOtherBaud, paOdd, sbTwo, fwRtsCts};
    Apply(before);
    port_.Open();
    ExpectLine(master_.SlaveSettings(), before);

    const LineCase after{"After", kApplicationBaud, paEven, sbOne, fwNone};
    Apply(after);
    ExpectLine(master_.SlaveSettings(), after);
}

}  // namespace
}  // namespace kt::serial
