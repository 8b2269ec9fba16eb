#include "shell/Settings.h"

#include "TestSupport.h"
#include "package/IniFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kt {
namespace {

// A window of the design size that cannot shrink below it.
class FakeWindow : public SettingsTarget {
public:
    WindowBounds Bounds() const override { return bounds; }
    void SetBounds(const WindowBounds& b) override
    {
        bounds = b;
        bounds.width = std::max(b.width, 422);
        bounds.height = std::max(b.height, 323);
    }
    int Baud() const override { return baud; }
    void SetBaud(int b) override { baud = b; }
    void SetPortName(const std::string& p) override { port = p; }
    void SetOpenDialog(const std::string& folder, const std::string& file) override
    {
        dialogFolder = folder;
        dialogFile = file;
    }
    std::string ExecutableFolder() const override { return "/opt/kt"; }

    WindowBounds bounds{100, 50, 422, 323};
    int baud = 1000000;
    std::string port = "unset";
    std::string dialogFolder;
    std::string dialogFile;
};

TEST(Settings, PathIsTheExecutableWithIniExtension)
{
    EXPECT_EQ(SettingsPathFor("/opt/kt/kt-flash"), "/opt/kt/kt-flash.INI");
    EXPECT_EQ(SettingsPathFor("/opt/kt/tool.exe"), "/opt/kt/tool.INI");
}

TEST(Settings, NoFileKeepsTheDesignValues)
{
    test::TempDir dir;
    FakeWindow w;
    ReadSettings((dir.Path() / "none.INI").string(), w);
    EXPECT_EQ(w.bounds.left, 100);
    EXPECT_EQ(w.bounds.width, 422);
    EXPECT_EQ(w.baud, 1000000);
    EXPECT_EQ(w.port, "");
    // Joined with the system's separator, as the open dialog takes it.
    EXPECT_EQ(w.dialogFolder, (std::filesystem::path("/opt/kt") / "FLASH").string());
    EXPECT_EQ(w.dialogFile, "");
}

TEST(Settings, ReadsBoundsBaudPortAndLastName)
{
    test::TempDir dir;
    const auto path =
        dir.Write("k.INI", test::CrLf({"[Window]", "Left=10", "Top=20", "Width=100", "Height=600", "[PARAMS]",
                                       "BOAD=9600", "PORT=/dev/ttyUSB1", "LAST_NAME=/home/u/fw/update.kvf"}));
    FakeWindow w;
    ReadSettings(path, w);
    EXPECT_EQ(w.bounds.left, 10);
    EXPECT_EQ(w.bounds.top, 20);
    EXPECT_EQ(w.bounds.width, 422);  // raised to the design width
    EXPECT_EQ(w.bounds.height, 600);
    EXPECT_EQ(w.baud, 9600);
    EXPECT_EQ(w.port, "/dev/ttyUSB1");
    EXPECT_EQ(w.dialogFolder, (std::filesystem::path("/home/u/fw") / "").string());
    EXPECT_EQ(w.dialogFile, "update.kvf");
}

TEST(Settings, OddValuesFallBackOneByOne)
{
    test::TempDir dir;
    FakeWindow w;
    ReadSettings(dir.Write("k.INI", test::CrLf({"[PARAMS]", "BOAD=fast", "LAST_NAME=update.kvf"})), w);
    EXPECT_EQ(w.baud, 1000000);
    EXPECT_EQ(w.dialogFolder, "");  // a bare name: the dialog's own default folder
    EXPECT_EQ(w.dialogFile, "update.kvf");
}

TEST(Settings, WriteKeepsBoadAndLastNameAndCreatesTheRest)
{
    test::TempDir dir;
    const auto path = dir.Write("k.INI", test::CrLf({"[PARAMS]", "LAST_NAME=/x/y.kvf", "BOAD=9600"}));
    ASSERT_TRUE(WriteSettings(path, WindowBounds{1, 2, 500, 400}, ""));
    IniFile ini(path);
    EXPECT_EQ(ini.ReadString("PARAMS", "LAST_NAME", ""), "/x/y.kvf");
    EXPECT_EQ(ini.ReadInteger("PARAMS", "BOAD", 0), 9600);
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", "missing"), "");
    EXPECT_EQ(ini.ReadInteger("Window", "Width", 0), 500);
    EXPECT_EQ(ini.ReadInteger("Window", "Height", 0), 400);
}

TEST(Settings, WriteIntoAnUnwritableFolderIsSwallowed)
{
    test::TempDir dir;
    EXPECT_FALSE(WriteSettings((dir.Path() / "missing" / "k.INI").string(), std::nullopt, "/dev/ttyS0"));
}

}  // namespace
}  // namespace kt
