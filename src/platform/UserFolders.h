// Where a program may keep its files: whether a folder can be written, and
// the user's own folder for the programs' settings.
#pragma once

#include <optional>
#include <string>

namespace kt::platform {

// True when this user may create files in `folder` (which exists).
bool FolderWritable(const std::string& folder);

// True for the system's folders of installed programs (/usr/bin and its
// kind; Program Files), where a program never writes its own files, even
// when the user (root, an administrator) could.
bool InstalledProgramFolder(const std::string& folder);

// The folder for this program's settings in the user's configuration:
// $XDG_CONFIG_HOME/kt-flash (by default ~/.config/kt-flash) on Linux,
// %APPDATA%\KT-FLASH on Windows; it may not exist yet. Nothing when the
// system does not say where the user's configuration lives.
std::optional<std::string> UserConfigFolder();

}  // namespace kt::platform
