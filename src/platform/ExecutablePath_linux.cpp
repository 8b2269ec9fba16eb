#include "platform/ExecutablePath.h"

#include <filesystem>
#include <system_error>

namespace kt::platform {

std::optional<std::string> ExecutablePath()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::nullopt;
    return exe.string();
}

}  // namespace kt::platform
