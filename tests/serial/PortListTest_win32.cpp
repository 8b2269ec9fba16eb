// The Windows port list: the ports that drivers announce in the registry, in
// natural order, as the discovery probes them.
#include "serial/PortList.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

namespace kt::serial {
namespace {

constexpr wchar_t kSerialComm[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Announces ports as a driver would, and takes them back at the end.
class AnnouncedPorts {
public:
    AnnouncedPorts()
    {
        created_ = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                                     KEY_READ | KEY_WRITE, nullptr, &key_, nullptr) == ERROR_SUCCESS;
    }
    ~AnnouncedPorts()
    {
        for (const auto& name : names_)
            ::RegDeleteValueW(key_, name.c_str());
        if (created_)
            ::RegCloseKey(key_);
    }
    bool Writable() const { return created_; }
    void Add(const std::wstring& driverName, const std::wstring& port)
    {
        names_.push_back(driverName);
        ::RegSetValueExW(key_, driverName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(port.c_str()),
                         static_cast<DWORD>((port.size() + 1) * sizeof(wchar_t)));
    }
    void AddNumber(const std::wstring& driverName)
    {
        names_.push_back(driverName);
        const DWORD number = 7;
        ::RegSetValueExW(key_, driverName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    }

private:
    HKEY key_ = nullptr;
    bool created_ = false;
    std::vector<std::wstring> names_;
};

std::vector<std::string> Only(std::vector<std::string> ports, const std::vector<std::string>& wanted)
{
    ports.erase(std::remove_if(
                    ports.begin(), ports.end(),
                    [&](const std::string& p) { return std::find(wanted.begin(), wanted.end(), p) == wanted.end(); }),
                ports.end());
    return ports;
}

TEST(PortList, AnnouncedPortsComeInNaturalOrderOnceEach)
{
    AnnouncedPorts announced;
    if (!announced.Writable())
        GTEST_SKIP() << "HKLM is not writable for this user";
    announced.Add(L"\\Device\\KtTestSerial10", L"COM210");
    announced.Add(L"\\Device\\KtTestSerial2", L"COM202");
    announced.Add(L"\\Device\\KtTestUsb0", L"COM209");
    announced.Add(L"\\Device\\KtTestTwin", L"COM202");  // two drivers naming one port
    announced.AddNumber(L"\\Device\\KtTestBroken");     // not a name: left out
    const std::vector<std::string> ours = {"COM202", "COM209", "COM210"};
    EXPECT_EQ(Only(ListSystemPorts(), ours), ours);
    EXPECT_EQ(Only(GetSerialPortList(), ours), ours) << "no override: the system's list";
}

TEST(PortList, DescriptionsNameThePortsOfTheList)
{
    AnnouncedPorts announced;
    if (!announced.Writable())
        GTEST_SKIP() << "HKLM is not writable for this user";
    announced.Add(L"\\Device\\KtTestSerial10", L"COM210");
    announced.Add(L"\\Device\\KtTestSerial2", L"COM202");
    std::vector<std::string> names;
    for (const auto& port : DescribeSerialPorts()) {
        names.push_back(port.name);
        EXPECT_TRUE(port.accessible) << port.name;
    }
    EXPECT_EQ(names, ListSystemPorts());
    EXPECT_EQ(Only(names, {"COM202", "COM210"}), (std::vector<std::string>{"COM202", "COM210"}));
}

// No by-id names, no serial numbers: what --port names is opened as it is.
TEST(PortList, PortArgumentsAreOpenedAsGiven)
{
    for (const std::string argument : {"COM3", "\\\\.\\COM12", "A10K1234", ""}) {
        const PortResolution resolved = ResolvePortName(argument);
        EXPECT_EQ(resolved.name, argument);
        EXPECT_EQ(resolved.error, "");
    }
}

TEST(PortList, OverrideReplacesTheSystemsList)
{
    SetPortListOverride(std::vector<std::string>{"COM9", "COM1"});
    EXPECT_EQ(GetSerialPortList(), (std::vector<std::string>{"COM9", "COM1"}));
    SetPortListOverride(std::nullopt);
}

}  // namespace
}  // namespace kt::serial
