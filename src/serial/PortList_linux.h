// Linux port discovery over a sysfs tty class folder; apart so tests can point it at a fake tree.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "serial/PortList.h"

namespace kt::serial {

// Ports under sysClassTty (normally /sys/class/tty) with a real device behind
// them, as paths under devDir (normally /dev), naturally sorted.
std::vector<std::string> ScanTtyClass(const std::filesystem::path& sysClassTty, const std::filesystem::path& devDir);

// The ports of ScanTtyClass, in its order, with what sysfs tells of them, the
// links in byIdDir (normally /dev/serial/by-id) that lead to them, and
// whether this user may open their nodes.
std::vector<PortDescription> DescribeTtyClass(const std::filesystem::path& sysClassTty,
                                              const std::filesystem::path& devDir,
                                              const std::filesystem::path& byIdDir);

// ResolvePortName over the same roots.
PortResolution ResolvePortName(const std::string& argument, const std::filesystem::path& sysClassTty,
                               const std::filesystem::path& devDir, const std::filesystem::path& byIdDir);

}  // namespace kt::serial
