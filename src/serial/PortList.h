// The system's serial ports, as device paths in a stable, natural order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kt::serial {

// The override when one is set, else ListSystemPorts().
std::vector<std::string> GetSerialPortList();
// Tests and simulators supply the list here; std::nullopt returns to the system's list.
void SetPortListOverride(std::optional<std::vector<std::string>> ports);

// Platform part: every serial port with a real device behind it, naturally sorted.
// Opens nothing but candidates that may be phantoms (Linux: 8250 UARTs). Ports
// this user may not open are listed too (Linux: a UART the user may not ask
// is judged by sysfs, see PortList_linux.cpp).
std::vector<std::string> ListSystemPorts();

// What tells one serial port from another. Empty fields are unknown.
struct PortDescription {
    std::string name;          // the device path as it is opened: "/dev/ttyUSB0", "COM3"
    std::string driver;        // "ftdi_sio", "cp210x", "cdc_acm", "serial8250"...
    std::string usbVendorId;   // "0403" (lower-case hex); empty when not USB
    std::string usbProductId;  // "6001"
    std::string manufacturer;  // the USB device's strings, when it has them
    std::string product;
    std::string serialNumber;
    std::string byIdPath;    // "/dev/serial/by-id/usb-FTDI_..." when a link there leads to this port
    bool accessible = true;  // this user may open it read-write
    std::string accessNote;  // why not, and what to do about it
};

// Platform part: every serial port the system has, in the order of
// ListSystemPorts(), ports this user may not open included. Windows: the
// names only.
std::vector<PortDescription> DescribeSerialPorts();

// The port a `--port` argument means.
struct PortResolution {
    std::optional<std::string> name;  // the name to open; std::nullopt when the argument is ambiguous
    std::string error;                // why there is no name
};

// Platform part. The argument may be a device path, a /dev/serial/by-id/ name
// (the full path or the file name only) or a USB serial number. It comes back
// unchanged when it is a path to an existing node or is not recognised; a
// by-id file name becomes its full path; a serial number becomes the by-id
// path (else the device path) of the one port that has it, and more than one
// such port is an error. Windows: the argument unchanged.
PortResolution ResolvePortName(const std::string& argument);

// Digit runs compare by value: "ttyACM2" before "ttyACM10".
bool NaturalLess(std::string_view a, std::string_view b);

}  // namespace kt::serial
