#include "serial/PortList_linux.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "serial/PortList.h"

namespace kt::serial {
namespace {

namespace fs = std::filesystem;

bool isVirtual(const fs::path& device)
{
    return std::any_of(device.begin(), device.end(), [](const fs::path& part) { return part == "virtual"; });
}

// The 8250 driver registers a fixed number of ttyS ports whether or not a UART
// answers behind them; only the driver knows which are real. Since kernel 6.5
// serial-core ports sit on the "serial-base" bus and the device link no longer
// names serial8250, so those are asked too (any serial-core driver answers).
bool isReal8250(const fs::path& node)
{
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    serial_struct info{};
    const bool real = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    ::close(fd);
    return real;
}

std::string linkName(const fs::path& link)
{
    std::error_code error;
    const fs::path target = fs::canonical(link, error);
    return error ? std::string() : target.filename().string();
}

bool mayBePhantom(const fs::path& deviceLink)
{
    return linkName(deviceLink / "driver") == "serial8250" || linkName(deviceLink / "subsystem") == "serial-base";
}

}  // namespace

std::vector<std::string> ScanTtyClass(const fs::path& sysClassTty, const fs::path& devDir)
{
    std::vector<std::string> ports;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sysClassTty, error)) {
        const std::string name = entry.path().filename().string();
        const fs::path deviceLink = entry.path() / "device";
        // Consoles and pseudo-terminals have no device link, or one under "virtual".
        std::error_code linkError;
        const fs::path device = fs::canonical(deviceLink, linkError);
        if (linkError || isVirtual(device))
            continue;
        const fs::path node = devDir / name;
        if (mayBePhantom(deviceLink) && !isReal8250(node))
            continue;
        ports.push_back(node.string());
    }
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
    return ports;
}

std::vector<std::string> ListSystemPorts()
{
    return ScanTtyClass("/sys/class/tty", "/dev");
}

}  // namespace kt::serial
