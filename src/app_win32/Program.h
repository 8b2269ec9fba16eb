// kt-flash on Windows from its command line to the end of its message loop.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

class TMainForm;

namespace kt::win32 {

// `arguments` with the program name first: the first that is not an option
// (options start with "--") names a package to open once the window shows;
// "--simulate" puts a simulated device inside the program in place of the
// system's ports. `settingsPath` replaces the settings file's default place.
// `shown` runs once the window shows, before the package opens (tests start
// their driver there). Returns the process's exit code.
int RunProgram(const std::vector<std::string>& arguments, std::optional<std::string> settingsPath = std::nullopt,
               const std::function<void(TMainForm&)>& shown = {});

}  // namespace kt::win32
