#include "serial/PortList.h"

#include <algorithm>
#include <cctype>
#include <mutex>

namespace kt::serial {
namespace {

std::mutex overrideMutex;
std::optional<std::vector<std::string>> portOverride;

bool isDigit(char c)
{
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

std::vector<std::string> GetSerialPortList()
{
    {
        std::lock_guard lock(overrideMutex);
        if (portOverride)
            return *portOverride;
    }
    return ListSystemPorts();
}

void SetPortListOverride(std::optional<std::vector<std::string>> ports)
{
    std::lock_guard lock(overrideMutex);
    portOverride = std::move(ports);
}

bool NaturalLess(std::string_view a, std::string_view b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const std::size_t startA = i;
            const std::size_t startB = j;
            while (i < a.size() && isDigit(a[i]))
                ++i;
            while (j < b.size() && isDigit(b[j]))
                ++j;
            std::string_view numA = a.substr(startA, i - startA);
            std::string_view numB = b.substr(startB, j - startB);
            // Compare by value without converting: strip leading zeros, then length, then digits.
            const auto stripA = numA.find_first_not_of('0');
            const auto stripB = numB.find_first_not_of('0');
            std::string_view valueA = stripA == std::string_view::npos ? std::string_view{} : numA.substr(stripA);
            std::string_view valueB = stripB == std::string_view::npos ? std::string_view{} : numB.substr(stripB);
            if (valueA.size() != valueB.size())
                return valueA.size() < valueB.size();
            if (valueA != valueB)
                return valueA < valueB;
            if (numA.size() != numB.size())
                return numA.size() < numB.size();
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace kt::serial
