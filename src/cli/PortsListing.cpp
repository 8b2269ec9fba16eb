#include "cli/PortsListing.h"

#include <algorithm>

namespace kt::cli {
namespace {

constexpr const char* kIndent = "    ";

// The lines under `shownName`, the name `port` is listed by (its by-id path
// when that is the remembered port).
std::string DetailLines(const serial::PortDescription& port, const std::string& shownName)
{
    std::string text;
    auto line = [&text](const std::string& l) { text += kIndent + l + "\n"; };
    std::string device = port.product;
    if (!port.manufacturer.empty())
        device += (device.empty() ? "" : ", ") + port.manufacturer;
    if (!port.usbVendorId.empty() || !port.usbProductId.empty()) {
        const std::string ids = "USB " + port.usbVendorId + ":" + port.usbProductId;
        device = device.empty() ? ids : device + " (" + ids + ")";
    }
    if (!device.empty())
        line(device);
    if (!port.serialNumber.empty())
        line("serial number: " + port.serialNumber);
    if (!port.driver.empty())
        line("driver: " + port.driver);
    if (shownName != port.name)
        line("device: " + port.name);
    if (!port.byIdPath.empty() && port.byIdPath != shownName)
        line("by-id: " + port.byIdPath);
    if (!port.accessible)
        line(port.accessNote.empty() ? "this user may not open it" : port.accessNote);
    return text;
}

void PrintEntry(std::ostream& out, std::ostream& err, const std::string& name, const std::string& details)
{
    out << name << '\n';
    out.flush();
    if (!details.empty()) {
        err << details;
        err.flush();
    }
}

}  // namespace

void PrintPortListing(std::ostream& out, std::ostream& err, const std::vector<serial::PortDescription>& ports,
                      const std::string& rememberedPort)
{
    if (!rememberedPort.empty()) {
        // A remembered by-id name is the port its link leads to.
        const auto port = std::find_if(ports.begin(), ports.end(), [&](const serial::PortDescription& p) {
            return p.name == rememberedPort || (!p.byIdPath.empty() && p.byIdPath == rememberedPort);
        });
        PrintEntry(out, err, rememberedPort,
                   port != ports.end() ? DetailLines(*port, rememberedPort)
                                       : std::string(kIndent) + "remembered from an earlier run; not among the " +
                                             "system's serial ports now\n");
    }
    for (const auto& port : ports)
        if (port.name != rememberedPort)
            PrintEntry(out, err, port.name, DetailLines(port, port.name));
}

}  // namespace kt::cli
