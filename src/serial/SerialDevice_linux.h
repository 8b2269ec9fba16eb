// Linux: which processes hold a serial device open; apart so tests can point it at a fake /proc.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kt::serial {

struct PortHolder {
    int pid = 0;
    std::string name;  // the process's command name (/proc/<pid>/comm); empty when unreadable

    bool operator==(const PortHolder&) const = default;
};

// Processes under procRoot (normally /proc) with a descriptor open on the
// character device at devicePath, by ascending PID. Processes whose
// descriptors cannot be read (another user's, without privileges) or that end
// during the scan are left out; so is everything when devicePath is no
// character device.
std::vector<PortHolder> findPortHolders(const std::filesystem::path& procRoot, const std::string& devicePath);

}  // namespace kt::serial
