// The Windows window as a user meets it, driven from a second thread with
// window messages while its own thread runs the message loop. The device is
// the simulator on a COM port (KT_COM_PLAIN as fast as it goes, KT_COM_PACED
// at 9600 baud; scripts/wine-com-test.sh starts them) or the simulated device
// inside the program.
#include "WindowDriver.h"

#include "EscapeMoments.h"
#include "InProcessDevice.h"
#include "MessageDialog.h"
#include "PackageWriter.h"
#include "Program.h"
#include "TMainForm.h"
#include "TestSupport.h"
#include "package/IniFile.h"
#include "serial/PortList.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace {

using kt::test::ShownDialog;
using kt::test::WindowDriver;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

std::string Settings(const kt::test::TempDir& dir)
{
    return (dir.Path() / "kt-flash.INI").string();
}

std::string GoodPackage(const kt::test::TempDir& dir)
{
    kt::gen::PackageContent c;
    c.name = "Пакет";
    c.coreVers = "1.2";
    c.core = kt::gen::PatternBytes(520, 1);
    c.flash = kt::gen::PatternBytes(512, 2);
    std::ostringstream out;
    kt::gen::WritePackage(out, c);
    return dir.Write("update.kvf", out.str());
}

// A package for the simulated device's model.
kt::gen::PackageContent UpdatePackage(std::size_t coreSize, std::size_t flashSize)
{
    kt::gen::PackageContent c;
    c.coreVers = "1.0";
    c.device = 0x21;
    c.core = kt::gen::PatternBytes(coreSize, 3);
    c.flash = kt::gen::PatternBytes(flashSize, 4);
    return c;
}

std::string WritePackage(const kt::test::TempDir& dir, const kt::gen::PackageContent& c)
{
    std::ostringstream text;
    kt::gen::WritePackage(text, c);
    return dir.Write("u.kvf", text.str());
}

// A COM port with the simulator behind it, named by the test script.
std::string ComPort(const char* variable)
{
    const char* port = std::getenv(variable);
    return port != nullptr ? port : "";
}

#define REQUIRE_COM_PORT(port)                                                                                         \
    if ((port).empty())                                                                                                \
    GTEST_SKIP() << "no simulator on a COM port: run through scripts/wine-com-test.sh"

// The system's port list replaced for one test.
class PortListScope {
public:
    explicit PortListScope(std::vector<std::string> ports) { kt::serial::SetPortListOverride(std::move(ports)); }
    ~PortListScope() { kt::serial::SetPortListOverride(std::nullopt); }
};

Lines Tail(const Lines& lines, std::size_t count)
{
    return Lines(lines.end() - static_cast<std::ptrdiff_t>(std::min(count, lines.size())), lines.end());
}

std::string LastLine(const WindowDriver& driver)
{
    const auto lines = driver.Log();
    return lines.empty() ? "<empty log>" : lines.back();
}

TEST(WinMainForm, StartsAsDesigned)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        EXPECT_EQ(driver.Caption(), "KT-FLASH V.3.0");
        for (int id : {TMainForm::kToolOpen, TMainForm::kToolInfo, TMainForm::kToolTime, TMainForm::kToolFullFlash,
                       TMainForm::kToolButton4})
            EXPECT_TRUE(driver.ButtonVisible(id)) << id;
        EXPECT_TRUE(driver.ButtonEnabled(TMainForm::kToolOpen));
        EXPECT_TRUE(driver.ButtonEnabled(TMainForm::kToolInfo));
        EXPECT_TRUE(driver.ButtonEnabled(TMainForm::kToolTime));
        EXPECT_FALSE(driver.ButtonEnabled(TMainForm::kToolFullFlash));
        EXPECT_EQ(driver.Hint(TMainForm::kToolOpen), "Открыть файл обновления ТЕЛВИКСа");
        EXPECT_EQ(driver.Hint(TMainForm::kToolInfo), "Прочитать информацию о ТЕЛВИКСе");
        EXPECT_EQ(driver.Hint(TMainForm::kToolTime), "Синхронизация времени");
        EXPECT_EQ(driver.Hint(TMainForm::kToolFullFlash), "Начать обновлние ТЕЛВИКСа");
        EXPECT_TRUE(driver.Log().empty());
        EXPECT_EQ(driver.ProgressMax(), 100);
        EXPECT_EQ(driver.ProgressPosition(), 0);

        // What the window was made of, read back from the system.
        wchar_t text[64] = {};
        GetWindowTextW(form.GroupBox1, text, 64);
        EXPECT_STREQ(text, L" Информация о прошивке ");
        const auto memoStyle = GetWindowLongPtrW(form.Memo, GWL_STYLE);
        EXPECT_TRUE(memoStyle & ES_READONLY);
        EXPECT_TRUE(memoStyle & ES_AUTOHSCROLL) << "lines must not wrap";
        EXPECT_TRUE(memoStyle & WS_VSCROLL);
        EXPECT_FALSE(memoStyle & WS_HSCROLL);
    });
}

TEST(WinMainForm, FrameFontPicturesAndIcon)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.Show();
    const auto style = GetWindowLongPtrW(form.Handle(), GWL_STYLE);
    EXPECT_FALSE(style & WS_MAXIMIZEBOX);
    EXPECT_TRUE(style & WS_MINIMIZEBOX);
    EXPECT_TRUE(style & WS_THICKFRAME);
    EXPECT_TRUE(style & WS_SYSMENU);

    // Dragging an edge cannot make the window smaller than designed.
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    MINMAXINFO limits{};
    SendMessageW(form.Handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, MulDiv(TMainForm::kDesignWidth, dpi, 96));
    EXPECT_EQ(limits.ptMinTrackSize.y, MulDiv(TMainForm::kDesignHeight, dpi, 96));
    RECT r{};
    GetWindowRect(form.Handle(), &r);
    EXPECT_EQ(r.right - r.left, MulDiv(TMainForm::kDesignWidth, dpi, 96));

    // "MS Sans Serif" 8 pt asked for with the Cyrillic character set.
    auto font = reinterpret_cast<HFONT>(SendMessageW(form.Memo, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW logFont{};
    ASSERT_NE(GetObjectW(font, sizeof logFont, &logFont), 0);
    EXPECT_STREQ(logFont.lfFaceName, L"MS Sans Serif");
    EXPECT_EQ(logFont.lfCharSet, RUSSIAN_CHARSET);
    EXPECT_EQ(logFont.lfHeight, -MulDiv(8, dpi, 72));
    // The font the system picked has the Russian letters: the log shows no bars.
    HDC dc = GetDC(form.Memo);
    HGDIOBJ old = SelectObject(dc, font);
    EXPECT_EQ(GetTextCharset(dc), RUSSIAN_CHARSET);
    WORD glyphs[3] = {};
    if (GetGlyphIndicesW(dc, L"ЖюЁ", 3, glyphs, GGI_MARK_NONEXISTING_GLYPHS) == 3) {
        for (WORD glyph : glyphs) {
            EXPECT_NE(glyph, 0xFFFF);
        }
    }
    SelectObject(dc, old);
    ReleaseDC(form.Memo, dc);

    auto images = reinterpret_cast<HIMAGELIST>(SendMessageW(form.ToolBar1, TB_GETIMAGELIST, 0, 0));
    ASSERT_NE(images, nullptr);
    EXPECT_EQ(ImageList_GetImageCount(images), 4);
    for (int i = 0; i < 4; ++i) {
        IMAGEINFO info{};
        ASSERT_TRUE(ImageList_GetImageInfo(images, i, &info));
        EXPECT_EQ(info.rcImage.right - info.rcImage.left, 16) << i;
    }
    EXPECT_NE(SendMessageW(form.Handle(), WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_NE(SendMessageW(form.Handle(), WM_GETICON, ICON_BIG, 0), 0);
}

// The package named on the command line opens once the window shows.
TEST(WinMainForm, CommandLinePackageOpensAfterTheWindowShows)
{
    kt::test::TempDir dir;
    const auto path = GoodPackage(dir);
    bool wasVisibleAndEmpty = false;
    std::thread driverThread;
    const int code = kt::win32::RunProgram({"kt-flash", path, "ignored.kvf"}, Settings(dir), [&](TMainForm& form) {
        wasVisibleAndEmpty = IsWindowVisible(form.Handle()) && GetWindowTextLengthW(form.Memo) == 0;
        driverThread = std::thread([&form, &path] {
            WindowDriver driver(form);
            EXPECT_TRUE(WindowDriver::WaitFor([&] { return driver.Caption() == "KT_FLASH - update.kvf"; }));
            EXPECT_TRUE(driver.ButtonEnabled(TMainForm::kToolFullFlash));
            const auto lines = driver.Log();
            ASSERT_GE(lines.size(), 4u);
            EXPECT_EQ(lines.front(), "Открываю файл: " + path);
            EXPECT_EQ(lines[1], "  Имя: Пакет");
            EXPECT_EQ(lines[lines.size() - 2], "Файл загружен успешно.");
            EXPECT_EQ(lines.back(), "");
            EXPECT_EQ(driver.ProgressPosition(), 0);
            EXPECT_TRUE(driver.Finish());
        });
    });
    driverThread.join();
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(wasVisibleAndEmpty);
}

TEST(WinMainForm, FailedOpenAfterAGoodOneDisablesUpdate)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    ASSERT_TRUE(form.OpenPackage(GoodPackage(dir)));
    const auto missing = (dir.Path() / "gone.kvf").string();

    EXPECT_FALSE(form.OpenPackage(missing));

    kt::test::Drive(form, [&](WindowDriver& driver) {
        EXPECT_EQ(driver.Caption(), "KT_FLASH V.3.0");
        EXPECT_FALSE(driver.ButtonEnabled(TMainForm::kToolFullFlash));
        EXPECT_EQ(driver.Log(), (Lines{"Открываю файл: " + missing, "   Несовместимая версия файла!",
                                       "   Ошибка при чтении файла!", ""}));
    });
    EXPECT_TRUE(form.Package().CORE.empty());
}

TEST(WinMainForm, OpenButtonOpensTheChosenFileAndCancelDoesNothing)
{
    kt::test::TempDir dir;
    const auto path = GoodPackage(dir);
    TMainForm form(Settings(dir));
    std::atomic<int> asked{0};
    form.SetFileChooser([&](TMainForm&) { return ++asked == 1 ? std::string() : path; });

    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolOpen);  // cancelled
        ASSERT_TRUE(WindowDriver::WaitFor([&] { return asked == 1; }));
        EXPECT_EQ(driver.Caption(), "KT-FLASH V.3.0");
        EXPECT_TRUE(driver.Log().empty());

        driver.Click(TMainForm::kToolOpen);
        EXPECT_TRUE(WindowDriver::WaitFor([&] { return driver.Caption() == "KT_FLASH - update.kvf"; }));
        EXPECT_TRUE(driver.ButtonEnabled(TMainForm::kToolFullFlash));
    });
}

// The system's open dialog: its title and filter, the folder and name the
// settings gave, and a typed name that opens.
TEST(WinMainForm, OpenDialogAsksForAPackage)
{
    kt::test::TempDir dir;
    const auto path = GoodPackage(dir);
    dir.Write("kt-flash.INI", "[PARAMS]\r\nLAST_NAME=" + path + "\r\n");
    TMainForm form(Settings(dir));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolOpen);
        const auto dialog = driver.WaitOwnedDialog();
        ASSERT_TRUE(dialog.has_value());
        EXPECT_EQ(driver.TextOfWindow(*dialog), "Выбери файл с прошивкой для ТЕЛВИКСа");
        // The explorer-style dialog's controls: the type list and the name field.
        HWND types = GetDlgItem(*dialog, 0x470);
        ASSERT_NE(types, nullptr);
        wchar_t type[128] = {};
        SendMessageW(types, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(type));
        EXPECT_STREQ(type, L"Файлы прошивок ТЕЛВИКСа (*.kvf)");
        EXPECT_EQ(SendMessageW(types, CB_GETCOUNT, 0, 0), 1);
        HWND name = GetDlgItem(*dialog, 0x47C);
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(driver.TextOfWindow(name), "update.kvf") << "the last package's name";
        PostMessageW(*dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        EXPECT_TRUE(WindowDriver::WaitFor([&] { return driver.Caption() == "KT_FLASH - update.kvf"; }))
            << driver.Caption();
        EXPECT_TRUE(driver.ButtonEnabled(TMainForm::kToolFullFlash));
    });
}

struct ArgumentCase {
    std::string name;
    std::vector<std::string> arguments;
    std::string package;
};

class PackageArgument : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(PackageArgument, IsTheFirstNonOption)
{
    EXPECT_EQ(TMainForm::PackageArgument(GetParam().arguments), GetParam().package);
}

INSTANTIATE_TEST_SUITE_P(Cases, PackageArgument,
                         ::testing::Values(ArgumentCase{"None", {"kt-flash"}, ""},
                                           ArgumentCase{"First", {"kt-flash", "a.kvf", "b.kvf"}, "a.kvf"},
                                           ArgumentCase{"AfterAnOption", {"kt-flash", "--simulate", "a.kvf"}, "a.kvf"},
                                           ArgumentCase{"OnlyAnOption", {"kt-flash", "--simulate"}, ""}),
                         [](const auto& row) { return row.param.name; });

// The dialogs are answered from the driver while this thread shows them.
TEST(WinMainForm, DialogCarriesTheWindowCaptionKeysAndIcons)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.Show();
    std::vector<ShownDialog> seen;
    auto answer = [&](std::function<void(WindowDriver&, const ShownDialog&)> how) {
        return std::thread([&form, &seen, how] {
            WindowDriver driver(form);
            auto dialog = driver.WaitDialog();
            if (!dialog) {
                ADD_FAILURE() << "no dialog showed";
                return;
            }
            seen.push_back(*dialog);
            how(driver, *dialog);
        });
    };
    auto key = [](WPARAM k) { return [k](WindowDriver& d, const ShownDialog& s) { d.Answer(s, k); }; };

    std::thread t = answer(key(VK_RETURN));
    EXPECT_EQ(form.ShowDialog("ОШИБКА!\rВторая строка", kt::DialogKind::Error, kt::DialogButtons::Ok),
              kt::ModalResult::Ok);
    t.join();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, "KT-FLASH V.3.0");
    EXPECT_EQ(seen[0].text, "ОШИБКА!\nВторая строка");
    EXPECT_EQ(seen[0].buttons, Lines{"OK"});
    EXPECT_EQ(seen[0].defaultId, IDOK);
    EXPECT_EQ(seen[0].icon, LoadIconW(nullptr, IDI_ERROR));

    t = answer(key(VK_ESCAPE));  // Esc answers OK when OK is the only button
    EXPECT_EQ(form.ShowDialog("Готово", kt::DialogKind::Information, kt::DialogButtons::Ok), kt::ModalResult::Ok);
    t.join();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].icon, LoadIconW(nullptr, IDI_INFORMATION));

    ASSERT_TRUE(form.OpenPackage(GoodPackage(dir)));
    t = answer(key(VK_RETURN));
    EXPECT_EQ(form.ShowDialog("Вы уверены?", kt::DialogKind::Confirmation, kt::DialogButtons::YesNo),
              kt::ModalResult::Yes);
    t.join();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].caption, "KT_FLASH - update.kvf");
    EXPECT_EQ(seen[2].buttons, (Lines{"&Yes", "&No"}));
    EXPECT_EQ(seen[2].defaultId, IDYES);
    EXPECT_EQ(seen[2].icon, LoadIconW(nullptr, IDI_QUESTION));

    t = answer(key(VK_ESCAPE));
    EXPECT_EQ(form.ShowDialog("Вы уверены?", kt::DialogKind::Confirmation, kt::DialogButtons::YesNo),
              kt::ModalResult::No);
    t.join();

    t = answer(key(VK_RETURN));  // a question whose Yes does harm answers No to Enter
    EXPECT_EQ(form.ShowDialog("Прервать?", kt::DialogKind::Confirmation, kt::DialogButtons::YesNoDefaultNo),
              kt::ModalResult::No);
    t.join();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[4].defaultId, IDNO);

    t = answer([](WindowDriver& d, const ShownDialog& s) { d.Press(s, IDYES); });
    EXPECT_EQ(form.ShowDialog("Прервать?", kt::DialogKind::Confirmation, kt::DialogButtons::YesNoDefaultNo),
              kt::ModalResult::Yes);
    t.join();

    // Closed by its title bar: neither Yes nor OK.
    t = answer([](WindowDriver& d, const ShownDialog& s) { d.CloseDialog(s); });
    EXPECT_EQ(form.ShowDialog("Вы уверены?", kt::DialogKind::Confirmation, kt::DialogButtons::YesNo),
              kt::ModalResult::Cancel);
    t.join();
    t = answer([](WindowDriver& d, const ShownDialog& s) { d.CloseDialog(s); });
    EXPECT_EQ(form.ShowDialog("ОШИБКА!", kt::DialogKind::Error, kt::DialogButtons::Ok), kt::ModalResult::Cancel);
    t.join();
}

// The readout at 9600 baud lasts long enough to watch the busy state.
TEST(WinMainFormDevice, InfoButtonHoldsTheToolbarAndRefusesTheClose)
{
    const std::string port = ComPort("KT_COM_PACED");
    REQUIRE_COM_PORT(port);
    kt::test::TempDir dir;
    dir.Write("kt-flash.INI", "[PARAMS]\r\nBOAD=9600\r\n");
    PortListScope ports({port});
    TMainForm form(Settings(dir));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolInfo);
        ASSERT_TRUE(WindowDriver::WaitFor([&] { return !driver.ButtonEnabled(TMainForm::kToolOpen); }));
        EXPECT_FALSE(driver.ButtonEnabled(TMainForm::kToolInfo));
        EXPECT_FALSE(driver.ButtonEnabled(TMainForm::kToolTime));
        EXPECT_FALSE(driver.ButtonEnabled(TMainForm::kToolFullFlash));
        driver.Close();
        driver.Click(TMainForm::kToolTime);  // a disabled button takes no click
        DWORD_PTR endSession = TRUE;
        SendMessageTimeoutW(driver.Main(), WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &endSession);
        EXPECT_EQ(endSession, static_cast<DWORD_PTR>(FALSE)) << "a log-off must wait for the operation";
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_TRUE(driver.WindowExists()) << "the close must be refused while busy";
        SendMessageTimeoutW(driver.Main(), WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 10000, &endSession);
        EXPECT_EQ(endSession, static_cast<DWORD_PTR>(TRUE));

        const auto lines = driver.Log();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), "ТЕЛВИКС обнаружен на порту " + port);
        EXPECT_TRUE(driver.LogContains("   DRAXO ID: TLV-M2-00042"));
        EXPECT_EQ(lines.back(), "");
        EXPECT_FALSE(driver.LogContains("Синхронизация часов ...")) << "the click on a disabled button ran";
        EXPECT_FALSE(driver.ButtonEnabled(TMainForm::kToolFullFlash));

        driver.Close();  // idle now: the close goes through and the port is remembered
        EXPECT_TRUE(WindowDriver::WaitFor([&] { return !driver.WindowExists(); }));
    });
    EXPECT_FALSE(form.Comm1.Active());
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), port);
    EXPECT_GE(ini.ReadInteger("Window", "Width", 0), TMainForm::kDesignWidth);
}

TEST(WinMainFormDevice, NoDeviceLogsAndShowsTheErrorDialog)
{
    kt::test::TempDir dir;
    PortListScope ports({});
    dir.Write("kt-flash.INI", "[PARAMS]\r\nPORT=COM99\r\nLAST_NAME=C:\\x\\y.kvf\r\nBOAD=9600\r\n");
    TMainForm form(Settings(dir));
    EXPECT_EQ(form.Comm1.BaudRate(), 9600);
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolTime);
        const auto dialog = driver.WaitDialog();
        ASSERT_TRUE(dialog.has_value());
        EXPECT_EQ(dialog->text,
                  "ОШИБКА! Контроллер не подключен к компьютеру.\nПроверьте кабель, питание и повторите снова.");
        EXPECT_EQ(dialog->caption, "KT-FLASH V.3.0");
        EXPECT_EQ(dialog->icon, LoadIconW(nullptr, IDI_ERROR));
        driver.Answer(*dialog, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_EQ(driver.Log(), (Lines{"ОШИБКА! ТЕЛВИКС не подключен к компьютеру.", ""}));
    });
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", "missing"), "");  // cleared by the failed search
    EXPECT_EQ(ini.ReadString("PARAMS", "LAST_NAME", ""), "C:\\x\\y.kvf");
    EXPECT_EQ(ini.ReadString("PARAMS", "BOAD", ""), "9600");
}

// The whole update on the simulator behind a COM port, started with Enter;
// the window afterwards is kept as a picture when KT_SCREENSHOT names a file.
TEST(WinMainFormDevice, EnterRunsTheWholeUpdateOnAComPort)
{
    const std::string port = ComPort("KT_COM_PLAIN");
    REQUIRE_COM_PORT(port);
    kt::test::TempDir dir;
    PortListScope ports({port});
    TMainForm form(Settings(dir));
    const auto c = UpdatePackage(260 * 30, 512 * 30);
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, c)));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Key(VK_RETURN);
        const auto question = driver.WaitDialog();
        ASSERT_TRUE(question.has_value());
        EXPECT_EQ(question->text, "Вы уверены, что хотите обновить ТЕЛВИКС?");
        EXPECT_EQ(question->defaultId, IDYES);
        driver.Answer(*question, VK_RETURN);
        EXPECT_TRUE(WindowDriver::WaitFor([&] { return !driver.ButtonEnabled(TMainForm::kToolOpen); }));

        const auto done = driver.WaitDialog(120s);
        ASSERT_TRUE(done.has_value()) << LastLine(driver);
        EXPECT_EQ(done->text, "ТЕЛВИКС готов к работе!");
        EXPECT_EQ(done->icon, LoadIconW(nullptr, IDI_INFORMATION));
        driver.Answer(*done, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_TRUE(driver.LogContains("ОБНОВЛЕНИЕ завершено успешно!"));
        EXPECT_TRUE(driver.LogContains("ТЕЛВИКС обнаружен на порту " + port));
        EXPECT_EQ(driver.ProgressMax(), 31) << "a step for each media block and one more";
        EXPECT_TRUE(driver.ButtonEnabled(TMainForm::kToolFullFlash));
        if (const char* picture = std::getenv("KT_SCREENSHOT")) {
            std::this_thread::sleep_for(300ms);  // the window repaints where the dialog was
            EXPECT_TRUE(driver.Screenshot(picture));
        }
    });
    EXPECT_FALSE(form.Comm1.Active());
}

// Esc stops the update on a COM port once the stop question is answered Yes;
// at 9600 baud a core block takes half a second, time enough to press it.
TEST(WinMainFormDevice, EscapeStopsTheUpdateOnAComPort)
{
    const std::string port = ComPort("KT_COM_PACED");
    REQUIRE_COM_PORT(port);
    kt::test::TempDir dir;
    dir.Write("kt-flash.INI", "[PARAMS]\r\nBOAD=9600\r\n");
    PortListScope ports({port});
    TMainForm form(Settings(dir));
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, UpdatePackage(260 * 40, 512))));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Key(VK_RETURN);
        const auto question = driver.WaitDialog();
        ASSERT_TRUE(question.has_value());
        driver.Answer(*question, VK_RETURN);
        ASSERT_TRUE(WindowDriver::WaitFor(
            [&] { return driver.LogContains("Обновление микропрограммы...") && driver.ProgressPosition() >= 1; }, 60s))
            << LastLine(driver);
        driver.Key(VK_ESCAPE);
        const auto stop = driver.WaitDialog();
        ASSERT_TRUE(stop.has_value());
        EXPECT_EQ(stop->text,
                  "Прервать обновление?\nПрошивка ТЕЛВИКСа останется неполной, и его работа будет "
                  "неправильной\nдо повторного обновления.");
        EXPECT_EQ(stop->defaultId, IDNO) << "Enter must not stop a transfer";
        driver.Press(*stop, IDYES);
        const auto failed = driver.WaitDialog();
        ASSERT_TRUE(failed.has_value());
        EXPECT_EQ(failed->text,
                  "Обновление завершено с ошибками!\nРабота ТЕЛВИКСа будет неправильной.\nПовторите "
                  "процесс обновления заново!");
        driver.Answer(*failed, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_EQ(Tail(driver.Log(), 5), (Lines{"Обновление микропрограммы...", "Прервано пользователем!", "",
                                                "Обновление завершено с ошибками!", ""}));
    });
    EXPECT_FALSE(form.Comm1.Active());
    EXPECT_FALSE(form.Session().Busy);
}

// --simulate: the device inside the program answers under its own name, the
// system's ports are not searched, and the remembered port outlives the run.
TEST(WinMainFormDevice, SimulatedDeviceAnswersUnderItsNameAndLeavesTheRememberedPort)
{
    kt::test::TempDir dir;
    PortListScope ports({"COM98"});
    dir.Write("kt-flash.INI", "[PARAMS]\r\nPORT=COM7\r\n");
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolInfo);
        ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.LogContains("   DRAXO ID: TLV-M2-00042"); }));
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_EQ(driver.Log().front(), "ТЕЛВИКС обнаружен на порту SIM");
    });
    EXPECT_EQ(sim.Frames().back(), "X");
    EXPECT_FALSE(form.Comm1.Active());
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), "COM7");
}

using kt::test::ChangesTheDevice;
using kt::test::CountOf;

class WinEscapeMoment : public ::testing::TestWithParam<kt::test::EscapeMoment> {};

// Esc stops the update at once during the search, the readout and the clock,
// and after a Yes to its question during a block transfer; nothing that
// changes the device goes out after it, the port closes, the port is kept.
TEST_P(WinEscapeMoment, StopsTheUpdate)
{
    const auto& c = GetParam();
    kt::test::TempDir dir;
    kt::sim::SimOptions options = c.options;
    options.baud = 115200;  // about 45 ms a core block and 90 ms a media block
    kt::sim::InProcessDevice sim(options);
    PortListScope ports({});
    dir.Write("kt-flash.INI", "[PARAMS]\r\nPORT=" + sim.PortName() + "\r\n");
    TMainForm form(Settings(dir));
    form.Comm1.SetDeviceFactory(sim.Factory());
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, UpdatePackage(260 * 40, 512 * 20))));
    std::size_t stoppedAt = 0;
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolFullFlash);
        const auto question = driver.WaitDialog();
        ASSERT_TRUE(question.has_value());
        driver.Answer(*question, VK_RETURN);
        ASSERT_TRUE(WindowDriver::WaitFor([&] { return c.when(sim.Frames()); }, 60s)) << LastLine(driver);
        stoppedAt = sim.Frames().size();
        driver.Key(VK_ESCAPE);
        // A transfer asks first; a stop after the search ends with the failure dialog.
        ASSERT_TRUE(WindowDriver::WaitFor([&] {
            if (auto dialog = driver.WaitDialog(0ms)) {
                if (dialog->text.rfind("Прервать обновление?", 0) == 0)
                    driver.Press(*dialog, IDYES);
                else
                    driver.Answer(*dialog, VK_RETURN);
            }
            return driver.ButtonEnabled(TMainForm::kToolOpen) && !driver.WaitDialog(0ms);
        }));
        EXPECT_EQ(Tail(driver.Log(), c.tail.size()), c.tail);
    });
    const auto frames = sim.Frames();
    long changes = 0;  // one block may have been on its way when Esc was pressed
    for (std::size_t i = stoppedAt; i < frames.size(); ++i)
        changes += ChangesTheDevice(frames[i]) ? 1 : 0;
    EXPECT_LE(changes, 1);
    EXPECT_FALSE(form.Comm1.Active());
    EXPECT_FALSE(form.Session().Busy);
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), sim.PortName());
}

INSTANTIATE_TEST_SUITE_P(Cases, WinEscapeMoment, ::testing::ValuesIn(kt::test::EscapeMoments()),
                         [](const auto& row) { return row.param.name; });

TEST(WinMainFormDevice, EscapeDuringATransferAnsweredNoLetsTheUpdateFinish)
{
    kt::test::TempDir dir;
    kt::sim::SimOptions slow;
    slow.baud = 115200;
    kt::sim::InProcessDevice sim(slow);
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    const auto c = UpdatePackage(260 * 20, 512);
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, c)));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Key(VK_RETURN);
        const auto question = driver.WaitDialog();
        ASSERT_TRUE(question.has_value());
        driver.Answer(*question, VK_RETURN);
        ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.ProgressPosition() >= 2; }, 60s)) << LastLine(driver);
        driver.Key(VK_ESCAPE);
        const auto stop = driver.WaitDialog();
        ASSERT_TRUE(stop.has_value());
        EXPECT_EQ(stop->defaultId, IDNO);
        driver.Answer(*stop, VK_RETURN);  // Enter keeps the transfer going
        const auto done = driver.WaitDialog(60s);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->text, "ТЕЛВИКС готов к работе!");
        driver.Answer(*done, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_TRUE(driver.LogContains("ОБНОВЛЕНИЕ завершено успешно!"));
    });
    EXPECT_EQ(sim.CoreImage(), c.core);
    kt::Bytes media = c.flash;
    media.resize(512, 0xFF);
    EXPECT_EQ(sim.MediaImage(), media);
}

// An error raised in a port event handler reaches the user in an error
// dialog and ends the running operation.
TEST(WinMainFormDevice, EventHandlerErrorIsShownAndEndsTheOperation)
{
    kt::test::TempDir dir;
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    bool thrown = false;
    form.Comm1.OnDataReceived = [&](kt::serial::TSpCustomSerialPort&, int) {
        if (form.Session().Busy && !thrown) {  // the first answer of the readout
            thrown = true;
            throw std::runtime_error("handler failed");
        }
        form.Session().Comm1DataReceived();
    };
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolInfo);
        const auto dialog = driver.WaitDialog();
        ASSERT_TRUE(dialog.has_value());
        EXPECT_EQ(dialog->text, "handler failed");
        driver.Answer(*dialog, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_TRUE(driver.LogContains("   ОШИБКА при работе с контроллером!"));
    });
    EXPECT_FALSE(form.Comm1.Active());
    EXPECT_FALSE(form.Session().Busy);
}

}  // namespace
