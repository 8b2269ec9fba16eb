// `kt-flash-cli ports`: the names alone on standard output, what tells the
// ports apart under each name on standard error.
#include "cli/PortsListing.h"

#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace kt::cli {
namespace {

using serial::PortDescription;

PortDescription Ftdi()
{
    PortDescription port;
    port.name = "/dev/ttyUSB0";
    port.driver = "ftdi_sio";
    port.usbVendorId = "0403";
    port.usbProductId = "6001";
    port.manufacturer = "FTDI";
    port.product = "FT232R USB UART";
    port.serialNumber = "A10K1234";
    port.byIdPath = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";
    return port;
}

PortDescription Cp2102()
{
    PortDescription port;
    port.name = "/dev/ttyUSB1";
    port.driver = "cp210x";
    port.usbVendorId = "10c4";
    port.usbProductId = "ea60";
    port.accessible = false;
    port.accessNote =
        "no permission: add your user to the dialout group (sudo usermod -aG dialout $USER), then log in again";
    return port;
}

PortDescription Uart()
{
    PortDescription port;
    port.name = "/dev/ttyS0";
    port.driver = "serial";
    return port;
}

PortDescription Bare(const std::string& name)
{
    PortDescription port;
    port.name = name;
    return port;
}

struct Listing {
    std::string out;
    std::string err;
};

Listing List(const std::vector<PortDescription>& ports, const std::string& remembered)
{
    std::ostringstream out;
    std::ostringstream err;
    PrintPortListing(out, err, ports, remembered);
    return {out.str(), err.str()};
}

TEST(PortsListing, StandardOutputHoldsTheNamesAlone)
{
    const Listing listing = List({Uart(), Ftdi(), Cp2102()}, "");
    EXPECT_EQ(listing.out, "/dev/ttyS0\n/dev/ttyUSB0\n/dev/ttyUSB1\n");
}

TEST(PortsListing, DetailsTellThePortsApart)
{
    const Listing listing = List({Uart(), Ftdi(), Cp2102()}, "");
    EXPECT_EQ(listing.err,
              "    driver: serial\n"
              "    FT232R USB UART, FTDI (USB 0403:6001)\n"
              "    serial number: A10K1234\n"
              "    driver: ftdi_sio\n"
              "    by-id: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0\n"
              "    USB 10c4:ea60\n"
              "    driver: cp210x\n"
              "    no permission: add your user to the dialout group (sudo usermod -aG dialout $USER), "
              "then log in again\n");
}

TEST(PortsListing, ProductWithoutManufacturer)
{
    PortDescription port = Ftdi();
    port.manufacturer.clear();
    port.serialNumber.clear();
    port.driver.clear();
    port.byIdPath.clear();
    EXPECT_EQ(List({port}, "").err, "    FT232R USB UART (USB 0403:6001)\n");
}

TEST(PortsListing, PortWithoutDetailsHasNoLines)
{
    const Listing listing = List({Bare("COM3"), Bare("COM10")}, "");
    EXPECT_EQ(listing.out, "COM3\nCOM10\n");
    EXPECT_EQ(listing.err, "");
}

TEST(PortsListing, RefusedPortWithoutNoteSaysSo)
{
    PortDescription port = Bare("/dev/ttyS1");
    port.accessible = false;
    EXPECT_EQ(List({port}, "").err, "    this user may not open it\n");
}

TEST(PortsListing, RememberedPortComesFirstOnce)
{
    const Listing listing = List({Uart(), Ftdi(), Cp2102()}, "/dev/ttyUSB1");
    EXPECT_EQ(listing.out, "/dev/ttyUSB1\n/dev/ttyS0\n/dev/ttyUSB0\n");
    EXPECT_EQ(listing.err.rfind("    USB 10c4:ea60\n    driver: cp210x\n    no permission: ", 0), 0u) << listing.err;
}

// As `kt-flash-cli ports` always did: the remembered port first, though the
// system does not list it now.
TEST(PortsListing, RememberedPortTheSystemLacksComesFirstWithANote)
{
    const Listing listing = List({Uart()}, "/dev/ttyUSB7");
    EXPECT_EQ(listing.out, "/dev/ttyUSB7\n/dev/ttyS0\n");
    EXPECT_EQ(listing.err,
              "    remembered from an earlier run; not among the system's serial ports now\n"
              "    driver: serial\n");
}

// A remembered by-id name is listed as it is, as the probe tries it, with the
// details of the port it leads to; that port follows under its own name.
TEST(PortsListing, RememberedByIdNameHasItsPortsDetails)
{
    const PortDescription ftdi = Ftdi();
    const Listing listing = List({Uart(), ftdi}, ftdi.byIdPath);
    EXPECT_EQ(listing.out, ftdi.byIdPath + "\n/dev/ttyS0\n/dev/ttyUSB0\n");
    EXPECT_EQ(listing.err.rfind("    FT232R USB UART, FTDI (USB 0403:6001)\n"
                                "    serial number: A10K1234\n"
                                "    driver: ftdi_sio\n"
                                "    device: /dev/ttyUSB0\n"
                                "    driver: serial\n",
                                0),
              0u)
        << listing.err;
}

TEST(PortsListing, NoPortsNoOutput)
{
    const Listing listing = List({}, "");
    EXPECT_EQ(listing.out, "");
    EXPECT_EQ(listing.err, "");
}

// What reaches a terminal that both streams write to: each stream's text
// arrives when the stream is flushed.
class FlushedTo : public std::stringbuf {
public:
    explicit FlushedTo(std::string& terminal) : terminal_(terminal) {}

protected:
    int sync() override
    {
        terminal_ += str();
        str("");
        return 0;
    }

private:
    std::string& terminal_;
};

TEST(PortsListing, OnOneTerminalEachPortsDetailsFollowItsName)
{
    std::string terminal;
    FlushedTo outBuffer(terminal);
    FlushedTo errBuffer(terminal);
    std::ostream out(&outBuffer);
    std::ostream err(&errBuffer);
    PrintPortListing(out, err, {Uart(), Ftdi()}, "");
    EXPECT_EQ(terminal,
              "/dev/ttyS0\n"
              "    driver: serial\n"
              "/dev/ttyUSB0\n"
              "    FT232R USB UART, FTDI (USB 0403:6001)\n"
              "    serial number: A10K1234\n"
              "    driver: ftdi_sio\n"
              "    by-id: /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0\n");
}

}  // namespace
}  // namespace kt::cli
