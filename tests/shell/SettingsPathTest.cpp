// Settings live beside the program while its folder can be written; a
// program installed where the user cannot write keeps them in the user's
// configuration folder, in the one file the window and the command line share.
#include "shell/Settings.h"

#include "ChildProcess.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// The user's configuration folder moved into `folder` for one test.
class ConfigFolderScope {
public:
    explicit ConfigFolderScope(const std::filesystem::path& folder)
    {
#ifdef _WIN32
        wchar_t old[32768];
        const DWORD length = GetEnvironmentVariableW(kVariable, old, 32768);
        if (length > 0 && length < 32768)
            old_ = std::wstring(old, length);
        SetEnvironmentVariableW(kVariable, folder.wstring().c_str());
#else
        if (const char* old = std::getenv(kVariable))
            old_ = old;
        setenv(kVariable, folder.c_str(), 1);
#endif
    }
    ~ConfigFolderScope()
    {
#ifdef _WIN32
        SetEnvironmentVariableW(kVariable, old_ ? old_->c_str() : nullptr);
#else
        if (old_)
            setenv(kVariable, old_->c_str(), 1);
        else
            unsetenv(kVariable);
#endif
    }
    ConfigFolderScope(const ConfigFolderScope&) = delete;
    ConfigFolderScope& operator=(const ConfigFolderScope&) = delete;

    // The program's folder inside the configuration folder.
    static std::filesystem::path ProgramFolder(const std::filesystem::path& config)
    {
#ifdef _WIN32
        return config / "KT-FLASH";
#else
        return config / "kt-flash";
#endif
    }

private:
#ifdef _WIN32
    static constexpr const wchar_t* kVariable = L"APPDATA";
    std::optional<std::wstring> old_;
#else
    static constexpr const char* kVariable = "XDG_CONFIG_HOME";
    std::optional<std::string> old_;
#endif
};

TEST(SettingsPath, BesideAProgramInAWritableFolder)
{
    kt::test::TempDir dir;
    kt::test::TempDir config;
    ConfigFolderScope scope(config.Path());
    EXPECT_EQ(kt::DefaultSettingsPath((dir.Path() / "kt-flash-cli").string()),
              (dir.Path() / "kt-flash-cli.INI").string());
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << "looking leaves no file behind";
    EXPECT_TRUE(std::filesystem::is_empty(config.Path()));
}

// The window and the command line of one installation find the same file,
// and with it the port where the device was found.
TEST(SettingsPath, SharedInTheUserConfigFolderWhenTheProgramsFolderCannotBeWritten)
{
    kt::test::TempDir config;
    ConfigFolderScope scope(config.Path());
    kt::test::TempDir dir;
    const auto installed = dir.Path() / "no-such-folder";  // as good as read-only
    const auto shared = ConfigFolderScope::ProgramFolder(config.Path()) / "kt-flash.INI";

    EXPECT_EQ(kt::DefaultSettingsPath((installed / "kt-flash-cli").string()), shared.string());
    EXPECT_EQ(kt::DefaultSettingsPath((installed / "kt-flash").string()), shared.string());
    EXPECT_TRUE(std::filesystem::is_directory(shared.parent_path())) << "the folder is made";
    ASSERT_TRUE(kt::WriteSettings(shared.string(), std::nullopt, "/dev/ttyUSB3"));
}

// An installed program never writes beside itself, whoever runs it.
TEST(SettingsPath, InstalledProgramsKeepSettingsInTheUserConfigFolder)
{
    kt::test::TempDir config;
    ConfigFolderScope scope(config.Path());
#ifdef _WIN32
    wchar_t programFiles[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH);
    ASSERT_GT(length, 0u);
    const auto installed = std::filesystem::path(programFiles) / "KT-FLASH" / "kt-flash.exe";
#else
    const std::filesystem::path installed = "/usr/bin/kt-flash-cli";
#endif
    EXPECT_EQ(kt::DefaultSettingsPath(installed.string()),
              (ConfigFolderScope::ProgramFolder(config.Path()) / "kt-flash.INI").string());
}

#ifndef _WIN32
using kt::test::AsUnprivilegedUser;

// A program in a folder its user may read but not write (r-x for everyone).
TEST(SettingsPath, ReadOnlyProgramFolderFallsBack)
{
    namespace fs = std::filesystem;
    kt::test::TempDir config;
    kt::test::TempDir dir;
    // The configuration folder open to the unprivileged user; the program's folder open to read only.
    fs::permissions(config.Path(), fs::perms::all);
    const auto readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir.Path(), readOnly);
    ConfigFolderScope scope(config.Path());
    const auto path =
        AsUnprivilegedUser([&] { return kt::DefaultSettingsPath((dir.Path() / "kt-flash-cli").string()); });
    fs::permissions(dir.Path(), fs::perms::owner_all);
    EXPECT_EQ(path, (ConfigFolderScope::ProgramFolder(config.Path()) / "kt-flash.INI").string());

    // The same folder writable again: the file beside the program.
    EXPECT_EQ(kt::DefaultSettingsPath((dir.Path() / "kt-flash-cli").string()),
              (dir.Path() / "kt-flash-cli.INI").string());
}
#endif

}  // namespace
