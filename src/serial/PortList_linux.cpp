#include "serial/PortList_linux.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

namespace kt::serial {
namespace {

namespace fs = std::filesystem;

bool isVirtual(const fs::path& device)
{
    return std::any_of(device.begin(), device.end(), [](const fs::path& part) { return part == "virtual"; });
}

std::string linkName(const fs::path& link)
{
    std::error_code error;
    const fs::path target = fs::canonical(link, error);
    return error ? std::string() : target.filename().string();
}

// A sysfs attribute's text without its line end; control characters, which a
// device's own strings might hold, become '?'. std::nullopt when it cannot be read.
std::optional<std::string> readAttribute(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    char buffer[1024];  // a USB string is at most 126 UTF-16 characters
    in.read(buffer, sizeof buffer);
    if (in.bad())
        return std::nullopt;
    std::string text(buffer, static_cast<std::size_t>(in.gcount()));
    const auto last = text.find_last_not_of(" \t\r\n");
    text.erase(last == std::string::npos ? 0 : last + 1);
    text.erase(0, text.find_first_not_of(" \t"));
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return text;
}

// The hardware a tty's device stands for. Since kernel 6.5 a serial-core
// port's device is a port on the serial-base bus, below a controller that is
// itself below the hardware (serial8250, a PnP or PCI device...).
fs::path hardwareDevice(fs::path device)
{
    while (linkName(device / "subsystem") == "serial-base" && device.has_relative_path())
        device = device.parent_path();
    return device;
}

// The 8250 driver registers a fixed number of ttyS ports whether or not a UART
// answers behind them; only the driver knows which are real. Since kernel 6.5
// serial-core ports sit on the "serial-base" bus and the device link no longer
// names serial8250, so those are asked too (any serial-core driver answers).
bool mayBePhantom(const fs::path& device)
{
    return linkName(device / "driver") == "serial8250" || linkName(device / "subsystem") == "serial-base";
}

enum class UartAnswer { Real, Phantom, Refused };

UartAnswer askUart(const fs::path& node)
{
    const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EACCES || errno == EPERM ? UartAnswer::Refused : UartAnswer::Phantom;
    serial_struct info{};
    const bool real = ::ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    ::close(fd);
    return real ? UartAnswer::Real : UartAnswer::Phantom;
}

// Whether a port that may be a phantom has a UART behind it. The driver tells
// whoever may open the node. A user who may not (not in the dialout group)
// would otherwise never see the port at all: for them the tty's "type"
// attribute tells where they may read it (some kernels make it root's, mode
// 0440; others let everyone read it), and failing that every port is taken
// for real but those of the serial8250 platform device, the ones the driver
// sets up whether or not a UART is there.
bool isRealUart(const fs::path& ttyDir, const fs::path& device, const fs::path& node)
{
    switch (askUart(node)) {
    case UartAnswer::Real:
        return true;
    case UartAnswer::Phantom:
        return false;
    case UartAnswer::Refused:
        break;
    }
    if (const auto type = readAttribute(ttyDir / "type"); type && !type->empty())
        return *type != std::to_string(PORT_UNKNOWN);
    return linkName(hardwareDevice(device) / "driver") != "serial8250";
}

struct Tty {
    fs::path device;  // the folder its device link leads to
    fs::path node;    // the device node
};

std::vector<Tty> scanTtys(const fs::path& sysClassTty, const fs::path& devDir)
{
    std::vector<Tty> ttys;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(sysClassTty, error)) {
        // Consoles and pseudo-terminals have no device link, or one under "virtual".
        std::error_code linkError;
        const fs::path device = fs::canonical(entry.path() / "device", linkError);
        if (linkError || isVirtual(device))
            continue;
        const fs::path node = devDir / entry.path().filename();
        if (mayBePhantom(device) && !isRealUart(entry.path(), device, node))
            continue;
        ttys.push_back({device, node});
    }
    std::sort(ttys.begin(), ttys.end(),
              [](const Tty& a, const Tty& b) { return NaturalLess(a.node.string(), b.node.string()); });
    return ttys;
}

// The USB device a tty belongs to, found as pyserial finds it: a usb-serial
// port's device (ttyUSB0) sits below the USB interface, a cdc_acm port's
// device is the interface itself; the USB device is the interface's parent.
std::optional<fs::path> usbDevice(const fs::path& device)
{
    const std::string subsystem = linkName(device / "subsystem");
    fs::path interface;
    if (subsystem == "usb-serial")
        interface = device.parent_path();
    else if (subsystem == "usb")
        interface = device;
    else
        return std::nullopt;
    std::error_code error;
    for (const fs::path& candidate : {interface, interface.parent_path()})
        if (fs::exists(candidate / "idVendor", error))
            return candidate;
    return std::nullopt;
}

// The links of byIdDir, each with the node it leads to, in name order.
std::vector<std::pair<fs::path, fs::path>> byIdLinks(const fs::path& byIdDir)
{
    std::vector<std::pair<fs::path, fs::path>> links;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(byIdDir, error)) {
        std::error_code targetError;
        const fs::path target = fs::canonical(entry.path(), targetError);
        if (!targetError)
            links.emplace_back(target, entry.path());
    }
    std::sort(links.begin(), links.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    return links;
}

// Calls getpwuid_r or getgrgid_r (`lookup(buffer, size, &found)`) with a
// buffer that grows until the entry fits; false when there is no entry.
template <class Lookup>
bool lookUpEntry(Lookup lookup)
{
    for (std::size_t size = 4096; size <= (std::size_t{1} << 20); size *= 4) {
        std::vector<char> buffer(size);
        bool found = false;
        const int error = lookup(buffer.data(), buffer.size(), found);
        if (error != ERANGE)
            return error == 0 && found;
    }
    return false;
}

std::string userName(uid_t uid, gid_t* primaryGroup = nullptr)
{
    std::string name;
    lookUpEntry([&](char* buffer, std::size_t size, bool& found) {
        passwd entry{};
        passwd* result = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer, size, &result);
        found = result != nullptr;
        if (found) {
            name = entry.pw_name;
            if (primaryGroup)
                *primaryGroup = entry.pw_gid;
        }
        return error;
    });
    return name;
}

std::string groupName(gid_t gid)
{
    std::string name;
    lookUpEntry([&](char* buffer, std::size_t size, bool& found) {
        group entry{};
        group* result = nullptr;
        const int error = ::getgrgid_r(gid, &entry, buffer, size, &result);
        found = result != nullptr;
        if (found)
            name = entry.gr_name;
        return error;
    });
    return name;
}

// Whether this process has the group's rights now.
bool processHasGroup(gid_t gid)
{
    if (::getgid() == gid || ::getegid() == gid)
        return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Whether the user's account is in the group: it may be, and this session
// not, when it was added after the user logged in.
bool accountHasGroup(gid_t gid)
{
    gid_t primary = 0;
    const std::string name = userName(::getuid(), &primary);
    if (name.empty())
        return false;
    int count = 32;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (::getgrouplist(name.c_str(), primary, groups.data(), &count) < 0) {
        if (static_cast<std::size_t>(count) <= groups.size())
            return false;
        groups.resize(static_cast<std::size_t>(count));
    }
    return std::find(groups.begin(), groups.begin() + count, gid) != groups.begin() + count;
}

// Empty when this user may open the node to read and write; else why not,
// and what to do about it.
std::string accessNote(const fs::path& node)
{
    if (::access(node.c_str(), R_OK | W_OK) == 0)
        return {};
    const int error = errno;
    struct stat info {};
    if (error == ENOENT || ::stat(node.c_str(), &info) != 0)
        return "no device node " + node.string();
    if (error != EACCES && error != EPERM)
        return "cannot be opened: " + std::generic_category().message(error);
    std::string group = groupName(info.st_gid);
    const bool groupMayOpen = (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    // Root's group is no advice to give.
    if (groupMayOpen && !group.empty() && info.st_gid != 0 && !processHasGroup(info.st_gid)) {
        if (accountHasGroup(info.st_gid))
            return "no permission: your user is in the " + group +
                   " group, but this session started before it was added: log in again";
        return "no permission: add your user to the " + group + " group (sudo usermod -aG " + group +
               " $USER), then log in again";
    }
    std::string owner = userName(info.st_uid);
    if (owner.empty())
        owner = std::to_string(info.st_uid);
    if (group.empty())
        group = std::to_string(info.st_gid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
    return "no permission: " + node.string() + " belongs to " + owner + ":" + group + " with mode " + mode +
           "; ask the administrator for access";
}

}  // namespace

std::vector<std::string> ScanTtyClass(const fs::path& sysClassTty, const fs::path& devDir)
{
    std::vector<std::string> ports;
    for (const Tty& tty : scanTtys(sysClassTty, devDir))
        ports.push_back(tty.node.string());
    return ports;
}

std::vector<PortDescription> DescribeTtyClass(const fs::path& sysClassTty, const fs::path& devDir,
                                              const fs::path& byIdDir)
{
    const auto links = byIdLinks(byIdDir);
    std::vector<PortDescription> ports;
    for (const Tty& tty : scanTtys(sysClassTty, devDir)) {
        PortDescription port;
        port.name = tty.node.string();
        port.driver = linkName(hardwareDevice(tty.device) / "driver");
        if (const auto usb = usbDevice(tty.device)) {
            port.usbVendorId = lowerCase(readAttribute(*usb / "idVendor").value_or(""));
            port.usbProductId = lowerCase(readAttribute(*usb / "idProduct").value_or(""));
            port.manufacturer = readAttribute(*usb / "manufacturer").value_or("");
            port.product = readAttribute(*usb / "product").value_or("");
            port.serialNumber = readAttribute(*usb / "serial").value_or("");
        }
        std::error_code error;
        const fs::path node = fs::canonical(tty.node, error);
        if (!error) {
            const auto link = std::find_if(links.begin(), links.end(), [&](const auto& l) { return l.first == node; });
            if (link != links.end())
                port.byIdPath = link->second.string();
        }
        port.accessNote = accessNote(tty.node);
        port.accessible = port.accessNote.empty();
        ports.push_back(std::move(port));
    }
    return ports;
}

PortResolution ResolvePortName(const std::string& argument, const fs::path& sysClassTty, const fs::path& devDir,
                               const fs::path& byIdDir)
{
    const PortResolution unchanged{argument, {}};
    if (argument.empty() || argument == "." || argument == "..")
        return unchanged;
    std::error_code error;
    if (argument.find('/') != std::string::npos) {
        if (fs::exists(argument, error) && !fs::is_directory(argument, error))
            return unchanged;
    } else if (fs::exists(byIdDir / argument, error)) {
        return {(byIdDir / argument).string(), {}};
    }
    std::vector<std::string> matches;
    for (const auto& port : DescribeTtyClass(sysClassTty, devDir, byIdDir))
        if (!port.serialNumber.empty() && port.serialNumber == argument)
            matches.push_back(port.byIdPath.empty() ? port.name : port.byIdPath);
    if (matches.empty())
        return unchanged;
    if (matches.size() == 1)
        return {matches.front(), {}};
    std::string names;
    for (const auto& match : matches)
        names += (names.empty() ? "" : ", ") + match;
    return {std::nullopt, "the serial number " + argument + " belongs to " + std::to_string(matches.size()) +
                              " ports (" + names + "): name one of them"};
}

std::vector<std::string> ListSystemPorts()
{
    return ScanTtyClass("/sys/class/tty", "/dev");
}

std::vector<PortDescription> DescribeSerialPorts()
{
    return DescribeTtyClass("/sys/class/tty", "/dev", "/dev/serial/by-id");
}

PortResolution ResolvePortName(const std::string& argument)
{
    return ResolvePortName(argument, "/sys/class/tty", "/dev", "/dev/serial/by-id");
}

}  // namespace kt::serial
