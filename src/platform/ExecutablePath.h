// Where the running program's executable file lies.
#pragma once

#include <optional>
#include <string>

namespace kt::platform {

// The executable's full path; std::nullopt when the system does not tell it.
std::optional<std::string> ExecutablePath();

}  // namespace kt::platform
