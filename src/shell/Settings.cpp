#include "shell/Settings.h"

#include "package/IniFile.h"
#include "platform/UserFolders.h"

#include <filesystem>

namespace kt {
namespace {

constexpr const char* kWindow = "Window";
constexpr const char* kParams = "PARAMS";

}  // namespace

std::string SettingsPathFor(const std::string& executable)
{
    return std::filesystem::path(executable).replace_extension(".INI").string();
}

std::string DefaultSettingsPath(const std::string& executable)
{
    const std::string beside = SettingsPathFor(executable);
    const std::string folder = std::filesystem::path(beside).parent_path().string();
    if (!platform::InstalledProgramFolder(folder) && platform::FolderWritable(folder))
        return beside;
    const auto config = platform::UserConfigFolder();
    if (!config)
        return beside;
    std::error_code ignored;  // a folder that cannot be made shows when the file is written
    std::filesystem::create_directories(*config, ignored);
    return (std::filesystem::path(*config) / kSharedSettingsName).string();
}

void ReadSettings(const std::string& path, SettingsTarget& target)
{
    try {
        IniFile ini(path);
        WindowBounds bounds = target.Bounds();
        bounds.left = ini.ReadInteger(kWindow, "Left", bounds.left);
        target.SetBounds(bounds);
        bounds = target.Bounds();
        bounds.top = ini.ReadInteger(kWindow, "Top", bounds.top);
        target.SetBounds(bounds);
        bounds = target.Bounds();
        bounds.width = ini.ReadInteger(kWindow, "Width", bounds.width);
        target.SetBounds(bounds);
        bounds = target.Bounds();
        bounds.height = ini.ReadInteger(kWindow, "Height", bounds.height);
        target.SetBounds(bounds);

        target.SetBaud(ini.ReadInteger(kParams, "BOAD", target.Baud()));
        target.SetPortName(ini.ReadString(kParams, "PORT", ""));

        const std::string lastName = ini.ReadString(kParams, "LAST_NAME", "");
        if (!lastName.empty()) {
            const std::filesystem::path last(lastName);
            // The folder with its trailing separator, as the open dialog takes it.
            const std::filesystem::path folder = last.parent_path();
            target.SetOpenDialog(folder.empty() ? std::string() : (folder / "").string(), last.filename().string());
        } else {
            target.SetOpenDialog((std::filesystem::path(target.ExecutableFolder()) / "FLASH").string(), "");
        }
        target.SetRecordFile(ini.ReadString(kParams, "RECORD", ""));
    } catch (...) {
        // A broken settings file must never keep the program from starting.
    }
}

bool WriteSettings(const std::string& path, const std::optional<WindowBounds>& bounds, const std::string& port)
{
    try {
        IniFile ini(path);
        if (bounds) {
            ini.WriteInteger(kWindow, "Left", bounds->left);
            ini.WriteInteger(kWindow, "Top", bounds->top);
            ini.WriteInteger(kWindow, "Width", bounds->width);
            ini.WriteInteger(kWindow, "Height", bounds->height);
        }
        ini.WriteString(kParams, "PORT", port);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace kt
