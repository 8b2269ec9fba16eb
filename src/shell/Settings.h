// The settings kept between runs in an INI file (beside the executable, or in
// the user's configuration folder when that cannot be written): the
// window's bounds, the serial speed, the port where the device was last
// found, and the last package used.
#pragma once

#include <optional>
#include <string>

namespace kt {

// The executable's path with its extension replaced by ".INI" (added when it has none).
std::string SettingsPathFor(const std::string& executable);

// The settings file of the program at `executable`: SettingsPathFor it while
// its folder can be written (a program unpacked into a folder of its own);
// otherwise, and always for a program in the system's program folders
// (/usr/bin, Program Files), kt-flash.INI in the user's configuration folder,
// made when missing, which the window and the command line share.
std::string DefaultSettingsPath(const std::string& executable);

// The name of the shared settings file in the user's configuration folder.
inline constexpr const char* kSharedSettingsName = "kt-flash.INI";

struct WindowBounds {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

// What reading the settings applies to, each value at once, in order.
class SettingsTarget {
public:
    virtual ~SettingsTarget() = default;
    virtual WindowBounds Bounds() const = 0;
    // Called after each of Left, Top, Width and Height with the bounds so far;
    // the window keeps its minimum size.
    virtual void SetBounds(const WindowBounds& bounds) = 0;
    virtual int Baud() const = 0;
    virtual void SetBaud(int baud) = 0;
    virtual void SetPortName(const std::string& port) = 0;
    // Where the open dialog starts and which file name it shows.
    virtual void SetOpenDialog(const std::string& folder, const std::string& fileName) = 0;
    virtual std::string ExecutableFolder() const = 0;
    // Where the window keeps its operation records (PARAMS RECORD); empty: none.
    virtual void SetRecordFile(const std::string&) {}
};

// Reads Window Left, Top, Width, Height, then PARAMS BOAD, PORT, LAST_NAME, RECORD.
// The first error ends the reading silently; what was applied stays.
void ReadSettings(const std::string& path, SettingsTarget& target);

// Writes Window Left, Top, Width, Height (when bounds are given), then PARAMS
// PORT, keeping every other key. Errors are swallowed: false tells of one.
bool WriteSettings(const std::string& path, const std::optional<WindowBounds>& bounds, const std::string& port);

}  // namespace kt
