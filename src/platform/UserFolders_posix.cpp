#include "platform/UserFolders.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace kt::platform {

bool FolderWritable(const std::string& folder)
{
    return !folder.empty() && access(folder.c_str(), W_OK | X_OK) == 0;
}

bool InstalledProgramFolder(const std::string& folder)
{
    std::error_code ec;
    const auto canonical = std::filesystem::weakly_canonical(folder, ec);
    const std::string path = ec ? folder : canonical.string();
    for (const char* system : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/bin", "/sbin"})
        if (path == system)
            return true;
    return false;
}

std::optional<std::string> UserConfigFolder()
{
    // A relative XDG_CONFIG_HOME is invalid and is ignored, as the XDG rules say.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return (std::filesystem::path(config) / "kt-flash").string();
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return (std::filesystem::path(home) / ".config" / "kt-flash").string();
    return std::nullopt;
}

}  // namespace kt::platform
