#include "serial/PortList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <string>
#include <vector>

#include "serial/PortList_linux.h"

namespace kt::serial {
namespace {

namespace fs = std::filesystem;

struct OrderCase {
    const char* name;
    const char* less;
    const char* greater;
};

std::ostream& operator<<(std::ostream& os, const OrderCase& c)
{
    return os << c.name;
}

class NaturalOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(NaturalOrder, SortsNumbersByValue)
{
    const OrderCase& c = GetParam();
    EXPECT_TRUE(NaturalLess(c.less, c.greater));
    EXPECT_FALSE(NaturalLess(c.greater, c.less));
}

INSTANTIATE_TEST_SUITE_P(Names, NaturalOrder,
                         ::testing::Values(OrderCase{"SingleBeforeDoubleDigit", "ttyACM2", "ttyACM10"},
                                           OrderCase{"PrefixDecidesFirst", "ttyACM10", "ttyS0"},
                                           OrderCase{"UsbAfterSerial", "ttyS31", "ttyUSB0"},
                                           OrderCase{"FullPaths", "/dev/ttyUSB9", "/dev/ttyUSB10"},
                                           OrderCase{"ShorterNameFirst", "ttyS", "ttyS0"},
                                           OrderCase{"LeadingZeroAfterPlainNumber", "ttyS1", "ttyS01"}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(NaturalOrderEquality, EqualNamesAreNotLess)
{
    EXPECT_FALSE(NaturalLess("ttyUSB0", "ttyUSB0"));
}

// A fake /sys/class/tty and /dev: which entries count as ports, and their order.
class TtyClassScan : public ::testing::Test {
protected:
    void SetUp() override
    {
        root_ = fs::temp_directory_path() / ("kt-ttyclass-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "class/tty");
        fs::create_directories(root_ / "dev");
    }
    void TearDown() override { fs::remove_all(root_); }

    // A tty whose device link points at devices/<device>, optionally with a driver.
    void addTty(const std::string& name, const std::string& device, const std::string& driver = "")
    {
        const fs::path deviceDir = root_ / "devices" / device;
        fs::create_directories(deviceDir);
        if (!driver.empty()) {
            fs::create_directories(root_ / "drivers" / driver);
            fs::create_directory_symlink(root_ / "drivers" / driver, deviceDir / "driver");
        }
        fs::create_directories(root_ / "class/tty" / name);
        fs::create_directory_symlink(deviceDir, root_ / "class/tty" / name / "device");
        std::ofstream(root_ / "dev" / name).put('\0');  // a plain file: no driver answers
    }

    std::vector<std::string> scan() { return ScanTtyClass(root_ / "class/tty", root_ / "dev"); }
    std::string dev(const std::string& name) { return (root_ / "dev" / name).string(); }

    fs::path root_;
};

TEST_F(TtyClassScan, KeepsRealDevicesInNaturalOrder)
{
    addTty("ttyUSB0", "pci0/usb1/1-1/1-1:1.0");
    addTty("ttyACM10", "pci0/usb1/1-3/1-3:1.0");
    addTty("ttyACM2", "pci0/usb1/1-2/1-2:1.0");
    EXPECT_EQ(scan(), (std::vector<std::string>{dev("ttyACM2"), dev("ttyACM10"), dev("ttyUSB0")}));
}

TEST_F(TtyClassScan, DropsConsolesVirtualTtysAndPhantomUarts)
{
    addTty("ttyUSB0", "pci0/usb1/1-1/1-1:1.0");
    addTty("ttyS5", "platform/serial8250", "serial8250");  // nothing answers behind it
    addTty("ttyV0", "virtual/tty/ttyV0");
    fs::create_directories(root_ / "class/tty/tty0");  // a console: no device link
    EXPECT_EQ(scan(), (std::vector<std::string>{dev("ttyUSB0")}));
}

TEST(PortListOverride, SuppliedListReplacesTheSystemsUntilCleared)
{
    const std::vector<std::string> supplied{"/tmp/sim-a", "/tmp/sim-b"};
    SetPortListOverride(supplied);
    EXPECT_EQ(GetSerialPortList(), supplied);
    SetPortListOverride(std::nullopt);
    EXPECT_EQ(GetSerialPortList(), ListSystemPorts());
}

}  // namespace
}  // namespace kt::serial
