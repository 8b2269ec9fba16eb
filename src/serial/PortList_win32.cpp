// Windows port discovery: the serial ports the drivers have announced under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM, one value for each ("COM3"). Of a
// port only its name is known.
#include "platform/Text_win32.h"
#include "serial/PortList.h"

#include <windows.h>

#include <algorithm>
#include <utility>

namespace kt::serial {

std::vector<std::string> ListSystemPorts()
{
    std::vector<std::string> ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return ports;
    // Value names are driver-chosen (\Device\Serial0) and short; the data is the port name.
    constexpr DWORD kNameChars = 256;
    constexpr DWORD kDataChars = 256;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kNameChars];
        wchar_t data[kDataChars + 1] = {};
        DWORD nameLength = kNameChars;
        DWORD dataBytes = kDataChars * sizeof(wchar_t);
        DWORD type = 0;
        const LONG rc =
            ::RegEnumValueW(key, index, name, &nameLength, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataBytes);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        std::wstring_view port(data, dataBytes / sizeof(wchar_t));
        while (!port.empty() && port.back() == L'\0')
            port.remove_suffix(1);
        if (!port.empty())
            ports.push_back(platform::ToUtf8(port));
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

// The names only: what SetupAPI could tell of a port is not read yet.
std::vector<PortDescription> DescribeSerialPorts()
{
    std::vector<PortDescription> ports;
    for (auto& name : ListSystemPorts()) {
        PortDescription port;
        port.name = std::move(name);
        ports.push_back(std::move(port));
    }
    return ports;
}

// Windows has no by-id names, and serial numbers are not looked up.
PortResolution ResolvePortName(const std::string& argument)
{
    return {argument, {}};
}

}  // namespace kt::serial
