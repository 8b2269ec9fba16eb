// Linux port discovery over a sysfs tty class folder; apart so tests can point it at a fake tree.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kt::serial {

// Ports under sysClassTty (normally /sys/class/tty) with a real device behind
// them, as paths under devDir (normally /dev), naturally sorted.
std::vector<std::string> ScanTtyClass(const std::filesystem::path& sysClassTty, const std::filesystem::path& devDir);

}  // namespace kt::serial
