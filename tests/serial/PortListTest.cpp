#include "serial/PortList.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
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

// A fake sysfs, /dev and /dev/serial/by-id laid out as the kernel and udev
// lay them out: /sys/class/tty/<tty> links to the tty's folder below its
// device, whose "device" link leads back up to that device.
class FakeSystem : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldMask_ = ::umask(022);  // everyone may look around the tree, as in sysfs
        root_ = fs::temp_directory_path() / ("kt-ports-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "sys/class/tty");
        fs::create_directories(root_ / "dev/serial/by-id");
    }
    void TearDown() override
    {
        fs::remove_all(root_);
        ::umask(oldMask_);
    }

    fs::path devices() const { return root_ / "sys/devices"; }
    std::string dev(const std::string& name) const { return (root_ / "dev" / name).string(); }
    std::string byId(const std::string& name) const { return (root_ / "dev/serial/by-id" / name).string(); }

    // <dir>/<name> -> the folder of bus/<bus>/drivers/<driver> (or bus/<bus> for "subsystem").
    void link(const fs::path& dir, const std::string& name, const fs::path& target)
    {
        fs::create_directories(target);
        fs::create_directory_symlink(fs::relative(target, dir), dir / name);
    }
    void subsystem(const fs::path& dir, const std::string& bus) { link(dir, "subsystem", root_ / "sys/bus" / bus); }
    void driver(const fs::path& dir, const std::string& bus, const std::string& name)
    {
        link(dir, "driver", root_ / "sys/bus" / bus / "drivers" / name);
    }
    static void attribute(const fs::path& file, const std::string& text) { std::ofstream(file) << text << '\n'; }

    // A USB device on the first root hub: 1-<port>, with the attributes lsusb reads.
    fs::path usbDevice(const std::string& port, const std::string& vendor, const std::string& product,
                       const std::string& manufacturer, const std::string& productName, const std::string& serial)
    {
        const fs::path dir = devices() / "pci0000:00/0000:00:14.0/usb1" / ("1-" + port);
        fs::create_directories(dir);
        subsystem(dir, "usb");
        attribute(dir / "idVendor", vendor);
        attribute(dir / "idProduct", product);
        if (!manufacturer.empty())
            attribute(dir / "manufacturer", manufacturer);
        if (!productName.empty())
            attribute(dir / "product", productName);
        if (!serial.empty())
            attribute(dir / "serial", serial);
        return dir;
    }
    // Interface <number> of a USB device, bound to `driverName`.
    fs::path usbInterface(const fs::path& usb, int number, const std::string& driverName)
    {
        const fs::path dir = usb / (usb.filename().string() + ":1." + std::to_string(number));
        fs::create_directories(dir);
        subsystem(dir, "usb");
        driver(dir, "usb", driverName);
        return dir;
    }
    // A usb-serial port (ttyUSB): its device is a usb-serial port below the interface.
    void addUsbSerial(const std::string& name, const fs::path& usb, int interfaceNumber, const std::string& driverName)
    {
        const fs::path port = usbInterface(usb, interfaceNumber, driverName) / name;
        fs::create_directories(port);
        subsystem(port, "usb-serial");
        driver(port, "usb-serial", driverName);
        addTty(name, port);
    }
    // A CDC ACM port (ttyACM): its device is the interface.
    void addAcm(const std::string& name, const fs::path& usb) { addTty(name, usbInterface(usb, 0, "cdc_acm")); }
    // A serial-core port as kernels since 6.5 lay it out: the tty's device is a
    // port on the serial-base bus, below a controller, below the hardware.
    // The tty's "type" attribute holds `type` when given, with mode `typeMode`.
    void addSerialCorePort(const std::string& name, const std::string& hardware, const std::string& hardwareDriver,
                           const std::string& type = "", fs::perms typeMode = fs::perms::owner_read)
    {
        const fs::path device = devices() / hardware;
        fs::create_directories(device);
        if (!fs::exists(device / "driver"))
            driver(device, hardware.find("pnp") == 0 ? "pnp" : "platform", hardwareDriver);
        const std::string base = device.filename().string();
        const fs::path controller = device / (base + ":0");
        const fs::path port = controller / (base + ":0." + name.substr(name.find_first_of("0123456789")));
        fs::create_directories(port);
        if (!fs::exists(controller / "subsystem")) {
            subsystem(controller, "serial-base");
            driver(controller, "serial-base", "ctrl");
        }
        subsystem(port, "serial-base");
        driver(port, "serial-base", "port");
        const fs::path ttyDir = addTty(name, port);
        if (!type.empty()) {
            attribute(ttyDir / "type", type);
            fs::permissions(ttyDir / "type", typeMode);
        }
    }
    // <device>/tty/<name> with its device link, /sys/class/tty/<name>, and a
    // node in /dev: a plain file, which no driver answers.
    fs::path addTty(const std::string& name, const fs::path& device)
    {
        const fs::path ttyDir = device / "tty" / name;
        fs::create_directories(ttyDir);
        fs::create_directory_symlink(fs::relative(device, ttyDir), ttyDir / "device");
        attribute(ttyDir / "dev", "188:0");
        fs::create_directory_symlink(fs::relative(ttyDir, root_ / "sys/class/tty"), root_ / "sys/class/tty" / name);
        std::ofstream(root_ / "dev" / name).put('\0');
        return ttyDir;
    }
    // A udev link in /dev/serial/by-id, relative as udev makes them.
    void addById(const std::string& linkName, const std::string& tty)
    {
        fs::create_symlink(fs::path("../..") / tty, root_ / "dev/serial/by-id" / linkName);
    }

    // Two FTDI adapters, the two ports of an FT2232 that share one serial
    // number, and an Arduino on cdc_acm.
    void addTypicalPorts()
    {
        const fs::path ft232 = usbDevice("1", "0403", "6001", "FTDI", "FT232R USB UART", "A10K1234");
        addUsbSerial("ttyUSB0", ft232, 0, "ftdi_sio");
        addById("usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0", "ttyUSB0");
        const fs::path ft2232 = usbDevice("2", "0403", "6010", "FTDI", "Dual RS232-HS", "FT2232X");
        addUsbSerial("ttyUSB1", ft2232, 0, "ftdi_sio");
        addUsbSerial("ttyUSB2", ft2232, 1, "ftdi_sio");
        addById("usb-FTDI_Dual_RS232-HS_FT2232X-if00-port0", "ttyUSB1");
        addById("usb-FTDI_Dual_RS232-HS_FT2232X-if01-port0", "ttyUSB2");
        // Upper-case ids and no by-id link (udev not run for it).
        const fs::path cp2102 = usbDevice("3", "10C4", "EA60", "Silicon Labs", "CP2102 USB to UART", "0001");
        addUsbSerial("ttyUSB10", cp2102, 0, "cp210x");
        const fs::path uno = usbDevice("4", "2341", "0043", "Arduino (www.arduino.cc)", "", "85735313233351F0B1A1");
        addAcm("ttyACM0", uno);
        addById("usb-Arduino__www.arduino.cc__0043_85735313233351F0B1A1-if00", "ttyACM0");
    }

    std::vector<PortDescription> describe()
    {
        return DescribeTtyClass(root_ / "sys/class/tty", root_ / "dev", root_ / "dev/serial/by-id");
    }
    std::vector<std::string> scan() { return ScanTtyClass(root_ / "sys/class/tty", root_ / "dev"); }
    PortResolution resolve(const std::string& argument)
    {
        return ResolvePortName(argument, root_ / "sys/class/tty", root_ / "dev", root_ / "dev/serial/by-id");
    }

    fs::path root_;
    mode_t oldMask_ = 0;
};

std::vector<std::string> Names(const std::vector<PortDescription>& ports)
{
    std::vector<std::string> names;
    for (const auto& port : ports)
        names.push_back(port.name);
    return names;
}

const PortDescription* Find(const std::vector<PortDescription>& ports, const std::string& name)
{
    for (const auto& port : ports)
        if (port.name == name)
            return &port;
    return nullptr;
}

TEST_F(FakeSystem, DescribesUsbPortsFromTheUsbDeviceAboveThem)
{
    addTypicalPorts();
    const auto ports = describe();
    EXPECT_EQ(Names(ports), (std::vector<std::string>{dev("ttyACM0"), dev("ttyUSB0"), dev("ttyUSB1"), dev("ttyUSB2"),
                                                      dev("ttyUSB10")}));
    EXPECT_EQ(Names(ports), scan()) << "the order of the plain list";

    const PortDescription* ft232 = Find(ports, dev("ttyUSB0"));
    ASSERT_NE(ft232, nullptr);
    EXPECT_EQ(ft232->driver, "ftdi_sio");
    EXPECT_EQ(ft232->usbVendorId, "0403");
    EXPECT_EQ(ft232->usbProductId, "6001");
    EXPECT_EQ(ft232->manufacturer, "FTDI");
    EXPECT_EQ(ft232->product, "FT232R USB UART");
    EXPECT_EQ(ft232->serialNumber, "A10K1234");
    EXPECT_EQ(ft232->byIdPath, byId("usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"));
    EXPECT_TRUE(ft232->accessible);
    EXPECT_EQ(ft232->accessNote, "");

    const PortDescription* second = Find(ports, dev("ttyUSB2"));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->serialNumber, "FT2232X");
    EXPECT_EQ(second->byIdPath, byId("usb-FTDI_Dual_RS232-HS_FT2232X-if01-port0")) << "its own interface's link";

    const PortDescription* cp2102 = Find(ports, dev("ttyUSB10"));
    ASSERT_NE(cp2102, nullptr);
    EXPECT_EQ(cp2102->driver, "cp210x");
    EXPECT_EQ(cp2102->usbVendorId, "10c4") << "lower case";
    EXPECT_EQ(cp2102->usbProductId, "ea60");
    EXPECT_EQ(cp2102->byIdPath, "");

    const PortDescription* uno = Find(ports, dev("ttyACM0"));
    ASSERT_NE(uno, nullptr);
    EXPECT_EQ(uno->driver, "cdc_acm");
    EXPECT_EQ(uno->usbVendorId, "2341");
    EXPECT_EQ(uno->usbProductId, "0043");
    EXPECT_EQ(uno->manufacturer, "Arduino (www.arduino.cc)");
    EXPECT_EQ(uno->product, "") << "the device has no product string";
    EXPECT_EQ(uno->serialNumber, "85735313233351F0B1A1");
    EXPECT_EQ(uno->byIdPath, byId("usb-Arduino__www.arduino.cc__0043_85735313233351F0B1A1-if00"));
}

TEST_F(FakeSystem, UartsHaveTheirHardwaresDriverAndNoUsbDetails)
{
    // Before kernel 6.5: the tty's device is the PnP device; no open needed.
    const fs::path pnp = devices() / "pnp0/00:01";
    fs::create_directories(pnp);
    driver(pnp, "pnp", "serial");
    addTty("ttyS0", pnp);
    const auto ports = describe();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].name, dev("ttyS0"));
    EXPECT_EQ(ports[0].driver, "serial");
    EXPECT_EQ(ports[0].usbVendorId, "");
    EXPECT_EQ(ports[0].serialNumber, "");
    EXPECT_EQ(ports[0].byIdPath, "");
}

TEST_F(FakeSystem, DeviceStringsLoseTheirControlCharacters)
{
    const fs::path usb = usbDevice("1", "0403", "6001", "FT\x1b[2JDI", "FT232R", "A1");
    addUsbSerial("ttyUSB0", usb, 0, "ftdi_sio");
    const auto ports = describe();
    ASSERT_EQ(ports.size(), 1u);
    EXPECT_EQ(ports[0].manufacturer, "FT?[2JDI");
}

// `--port` arguments; "@" stands for the fake tree's root.
struct ResolveCase {
    const char* name;
    const char* argument;
    const char* expected;  // nullptr: no name, an error
};

std::ostream& operator<<(std::ostream& os, const ResolveCase& c)
{
    return os << c.name;
}

class PortArgument : public FakeSystem, public ::testing::WithParamInterface<ResolveCase> {
protected:
    std::string expand(const std::string& text) const
    {
        return text.rfind('@', 0) == 0 ? root_.string() + text.substr(1) : text;
    }
};

TEST_P(PortArgument, ResolvesToTheNameToOpen)
{
    addTypicalPorts();
    const ResolveCase& c = GetParam();
    const PortResolution resolved = resolve(expand(c.argument));
    if (c.expected) {
        ASSERT_TRUE(resolved.name.has_value()) << resolved.error;
        EXPECT_EQ(*resolved.name, expand(c.expected));
        EXPECT_EQ(resolved.error, "");
    } else {
        EXPECT_FALSE(resolved.name.has_value()) << *resolved.name;
        EXPECT_EQ(resolved.error, "the serial number FT2232X belongs to 2 ports (" +
                                      byId("usb-FTDI_Dual_RS232-HS_FT2232X-if00-port0") + ", " +
                                      byId("usb-FTDI_Dual_RS232-HS_FT2232X-if01-port0") + "): name one of them");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortArgument,
    ::testing::Values(ResolveCase{"DevicePathUnchanged", "@/dev/ttyUSB0", "@/dev/ttyUSB0"},
                      ResolveCase{"ByIdFileNameBecomesItsPath", "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0",
                                  "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"},
                      ResolveCase{"FullByIdPathUnchanged",
                                  "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0",
                                  "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"},
                      ResolveCase{"SerialNumberBecomesTheByIdPath", "A10K1234",
                                  "@/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0"},
                      ResolveCase{"SerialNumberOfAnAcmPort", "85735313233351F0B1A1",
                                  "@/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_85735313233351F0B1A1-if00"},
                      ResolveCase{"SerialNumberWithoutByIdBecomesTheDevicePath", "0001", "@/dev/ttyUSB10"},
                      ResolveCase{"SerialNumberOfTwoPortsIsAnError", "FT2232X", nullptr},
                      ResolveCase{"SerialNumberIsCaseSensitive", "a10k1234", "a10k1234"},
                      ResolveCase{"UnknownStringUnchanged", "COM7", "COM7"},
                      ResolveCase{"BareDeviceNameUnchanged", "ttyUSB0", "ttyUSB0"},
                      ResolveCase{"MissingPathUnchanged", "@/dev/ttyUSB9", "@/dev/ttyUSB9"},
                      ResolveCase{"EmptyUnchanged", "", ""}),
    [](const auto& row) { return std::string(row.param.name); });

using kt::test::AsUnprivilegedUser;

// A port as one line: "<name> | accessible|refused | <note>".
std::string Lines(const std::vector<PortDescription>& ports)
{
    std::string text;
    for (const auto& port : ports)
        text += port.name + " | " + (port.accessible ? "accessible" : "refused") + " | " + port.accessNote + "\n";
    return text;
}

// Nodes this user may not open are listed with what to do about it; of the
// UARTs that may be phantoms, whose driver this user cannot ask, only those
// of the legacy serial8250 platform device are left out, unless their "type"
// attribute may be read.
TEST_F(FakeSystem, PortsThisUserMayNotOpenAreListedWithANote)
{
    const bool root = ::geteuid() == 0;
    const group* dialout = ::getgrnam("dialout");
    // As root the nodes become root's and the dialout group's (crw-rw----),
    // as udev makes them, or root's alone (crw-------); as anyone else
    // neither is possible, and a node with mode 0000 refuses its owner too.
    auto restrict = [&](const std::string& name, bool toDialout) {
        const fs::path node = dev(name);
        if (root && toDialout && dialout) {
            ASSERT_EQ(::chown(node.c_str(), 0, dialout->gr_gid), 0);
            fs::permissions(node, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                      fs::perms::group_write);
        } else {
            fs::permissions(node, root ? fs::perms::owner_read | fs::perms::owner_write : fs::perms::none);
        }
    };
    const fs::path ft232 = usbDevice("1", "0403", "6001", "FTDI", "FT232R USB UART", "A10K1234");
    addUsbSerial("ttyUSB0", ft232, 0, "ftdi_sio");
    restrict("ttyUSB0", true);
    // Kernel 6.5 and later: every UART is a serial-base port and might be a
    // phantom. Those on a PnP device are real; the type attribute is root's.
    addSerialCorePort("ttyS0", "pnp0/00:01", "serial", "4", fs::perms::none);
    restrict("ttyS0", true);
    addSerialCorePort("ttyS1", "pnp0/00:02", "serial", "4", fs::perms::none);
    restrict("ttyS1", false);
    // The legacy platform device's: unknown (dropped), readable as a UART
    // (kept) and readable as no UART (dropped).
    addSerialCorePort("ttyS4", "platform/serial8250", "serial8250", "0", fs::perms::none);
    restrict("ttyS4", true);
    addSerialCorePort("ttyS5", "platform/serial8250", "serial8250", "4", fs::perms::all);
    restrict("ttyS5", true);
    addSerialCorePort("ttyS6", "platform/serial8250", "serial8250", "0", fs::perms::all);
    restrict("ttyS6", true);

    const std::string listed = AsUnprivilegedUser([&] { return Lines(describe()); });
    const std::string scanned = AsUnprivilegedUser([&] {
        std::string text;
        for (const auto& name : scan())
            text += name + "\n";
        return text;
    });
    std::istringstream lines(listed);
    std::vector<std::string> names;
    std::vector<std::string> notes;
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find(" | ");
        const auto second = line.find(" | ", first + 3);
        ASSERT_NE(second, std::string::npos) << listed;
        names.push_back(line.substr(0, first));
        EXPECT_EQ(line.substr(first + 3, second - first - 3), "refused") << line;
        notes.push_back(line.substr(second + 3));
    }
    ASSERT_EQ(names, (std::vector<std::string>{dev("ttyS0"), dev("ttyS1"), dev("ttyS5"), dev("ttyUSB0")})) << listed;
    EXPECT_EQ(scanned, dev("ttyS0") + "\n" + dev("ttyS1") + "\n" + dev("ttyS5") + "\n" + dev("ttyUSB0") + "\n")
        << "the plain list has them too";
    for (const auto& note : notes)
        EXPECT_EQ(note.rfind("no permission: ", 0), 0u) << note;
    if (root && dialout) {
        const std::string advice =
            "no permission: add your user to the dialout group (sudo usermod -aG dialout $USER), then log in again";
        EXPECT_EQ(notes[0], advice);
        EXPECT_EQ(notes[3], advice);
        EXPECT_EQ(notes[1], "no permission: " + dev("ttyS1") +
                                " belongs to root:root with mode 0600; ask the administrator for access");
    }
}

TEST(SystemPorts, DescriptionsComeInTheOrderOfTheList)
{
    EXPECT_EQ(Names(DescribeSerialPorts()), ListSystemPorts());
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
