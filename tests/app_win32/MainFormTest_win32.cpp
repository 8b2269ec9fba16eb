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
#include <fstream>
#include <sstream>
#include <thread>

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

// The log's last line that starts in the first column: the step under way.
std::string LastHeading(const WindowDriver& driver)
{
    const auto lines = driver.Log();
    for (auto line = lines.rbegin(); line != lines.rend(); ++line)
        if (!line->empty() && (*line)[0] != ' ')
            return *line;
    return "";
}

int ScreenDpi()
{
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    return dpi;
}

// Where a control sits in its parent's client area.
RECT Placement(HWND control)
{
    RECT r{};
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

int HeightOf(HWND window)
{
    RECT r{};
    GetWindowRect(window, &r);
    return r.bottom - r.top;
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

    // Dragging an edge cannot make the window smaller than designed, with
    // its status bar below the design.
    const int dpi = ScreenDpi();
    const int statusHeight = HeightOf(form.StatusBar);
    EXPECT_GT(statusHeight, 0);
    MINMAXINFO limits{};
    SendMessageW(form.Handle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
    EXPECT_EQ(limits.ptMinTrackSize.x, MulDiv(TMainForm::kDesignWidth, dpi, 96));
    EXPECT_EQ(limits.ptMinTrackSize.y, MulDiv(TMainForm::kDesignHeight, dpi, 96) + statusHeight);
    RECT r{};
    GetWindowRect(form.Handle(), &r);
    EXPECT_EQ(r.right - r.left, MulDiv(TMainForm::kDesignWidth, dpi, 96));
    EXPECT_EQ(r.bottom - r.top, MulDiv(TMainForm::kDesignHeight, dpi, 96) + statusHeight);

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

struct SizeCase {
    std::string name;
    int extraWidth;  // beyond the smallest size
    int extraHeight;
};

class StatusBarPlace : public ::testing::TestWithParam<SizeCase> {};

// The status bar runs along the bottom under the design's controls, which
// keep the places and sizes they had without it, whatever the window's size.
TEST_P(StatusBarPlace, LeavesTheDesignAsItWas)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.Show();
    const int dpi = ScreenDpi();
    auto scaled = [dpi](int pixels) { return MulDiv(pixels, dpi, 96); };
    RECT outer{};
    RECT client{};
    GetWindowRect(form.Handle(), &outer);
    GetClientRect(form.Handle(), &client);
    // The client area a window of the design's outer size has.
    const int designClientHeight = scaled(TMainForm::kDesignHeight) - ((outer.bottom - outer.top) - client.bottom);
    SetWindowPos(form.Handle(), nullptr, 0, 0, outer.right - outer.left + GetParam().extraWidth,
                 outer.bottom - outer.top + GetParam().extraHeight, SWP_NOMOVE | SWP_NOZORDER);
    GetClientRect(form.Handle(), &client);

    EXPECT_NE(GetWindowLongPtrW(form.StatusBar, GWL_STYLE) & SBARS_SIZEGRIP, 0);
    const RECT status = Placement(form.StatusBar);
    EXPECT_EQ(status.left, 0);
    EXPECT_EQ(status.right, client.right);
    EXPECT_EQ(status.bottom, client.bottom);
    EXPECT_EQ(status.top, designClientHeight + GetParam().extraHeight);

    const RECT toolbar = Placement(form.ToolBar1);
    EXPECT_EQ(toolbar.top, 0);
    EXPECT_EQ(toolbar.bottom, scaled(29));
    EXPECT_EQ(Placement(form.GroupBox1).top, scaled(31));
    const RECT progress = Placement(form.ProgressBar);
    EXPECT_EQ(progress.bottom, status.top);
    EXPECT_EQ(progress.bottom - progress.top, scaled(22));
    EXPECT_EQ(progress.right, client.right);
    EXPECT_EQ(Placement(form.GroupBox1).bottom, progress.top);
}

INSTANTIATE_TEST_SUITE_P(Sizes, StatusBarPlace,
                         ::testing::Values(SizeCase{"Smallest", 0, 0}, SizeCase{"Enlarged", 130, 90}),
                         [](const auto& row) { return row.param.name; });

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

struct DetailKeyCase {
    std::string name;
    kt::DialogButtons buttons;
    WPARAM key;
    kt::ModalResult result;
};

class DetailBox : public ::testing::TestWithParam<DetailKeyCase> {};

// The detail shows under the message and above the buttons; with the focus
// in it, Enter and Esc still answer as they do on the buttons.
TEST_P(DetailBox, KeepsTheDialogKeys)
{
    const auto& c = GetParam();
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.Show();
    std::optional<ShownDialog> seen;
    bool focused = false;
    RECT text{};
    RECT box{};
    RECT button{};
    RECT client{};
    std::thread driverThread([&] {
        WindowDriver driver(form);
        seen = driver.WaitDialog();
        if (!seen) {
            ADD_FAILURE() << "no dialog showed";
            return;
        }
        HWND detail = GetDlgItem(seen->hwnd, kt::win32::kDialogDetailId);
        text = Placement(GetDlgItem(seen->hwnd, kt::win32::kDialogTextId));
        box = Placement(detail);
        button = Placement(GetDlgItem(seen->hwnd, seen->defaultId));
        GetClientRect(seen->hwnd, &client);
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(seen->hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(detail), TRUE, SMTO_NORMAL, 10000,
                            &ignored);
        focused = driver.Focus() == detail;
        driver.Answer(*seen, c.key);
        if (IsWindow(seen->hwnd) && IsWindowVisible(seen->hwnd)) {
            ADD_FAILURE() << "the key did not answer the dialog";
            driver.CloseDialog(*seen);
        }
    });
    const auto result =
        kt::win32::ShowMessageDialog(form.Handle(), L"KT-FLASH", L"ОШИБКА!\rВторая строка", kt::DialogKind::Error,
                                     c.buttons, nullptr, L"COM1: no such device\nCOM2: no answer");
    driverThread.join();
    ASSERT_TRUE(seen.has_value());
    EXPECT_TRUE(focused) << "the detail box did not take the focus";
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(seen->text, "ОШИБКА!\nВторая строка");
    EXPECT_EQ(seen->detail, "COM1: no such device\nCOM2: no answer");
    EXPECT_GE(box.top, text.bottom);
    EXPECT_LE(box.bottom, button.top);
    EXPECT_LE(box.right, client.right);
    EXPECT_GE(box.right - box.left, text.right - text.left);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, DetailBox,
    ::testing::Values(DetailKeyCase{"EnterOnOk", kt::DialogButtons::Ok, VK_RETURN, kt::ModalResult::Ok},
                      DetailKeyCase{"EscapeOnOk", kt::DialogButtons::Ok, VK_ESCAPE, kt::ModalResult::Ok},
                      DetailKeyCase{"EnterOnYesNo", kt::DialogButtons::YesNo, VK_RETURN, kt::ModalResult::Yes},
                      DetailKeyCase{"EscapeOnYesNo", kt::DialogButtons::YesNo, VK_ESCAPE, kt::ModalResult::No},
                      DetailKeyCase{"EnterOnDefaultNo", kt::DialogButtons::YesNoDefaultNo, VK_RETURN,
                                    kt::ModalResult::No}),
    [](const auto& row) { return row.param.name; });

// A long list scrolls inside its box, from its top; the dialog stays on the screen.
TEST(WinMainForm, LongDetailScrollsInsideTheDialog)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.Show();
    std::wstring ports;
    for (int i = 1; i <= 60; ++i)
        ports += L"COM" + std::to_wstring(i) + L": no such device\n";
    LONG_PTR boxStyle = 0;
    LRESULT firstShown = -1;
    RECT dialogRect{};
    std::thread driverThread([&] {
        WindowDriver driver(form);
        const auto dialog = driver.WaitDialog();
        if (!dialog) {
            ADD_FAILURE() << "no dialog showed";
            return;
        }
        HWND box = GetDlgItem(dialog->hwnd, kt::win32::kDialogDetailId);
        boxStyle = GetWindowLongPtrW(box, GWL_STYLE);
        firstShown = SendMessageW(box, EM_GETFIRSTVISIBLELINE, 0, 0);
        GetWindowRect(dialog->hwnd, &dialogRect);
        EXPECT_EQ(dialog->detail.substr(0, 25), "COM1: no such device\nCOM2");
        driver.Answer(*dialog, VK_RETURN);
    });
    EXPECT_EQ(kt::win32::ShowMessageDialog(form.Handle(), L"KT-FLASH", L"ОШИБКА!", kt::DialogKind::Error,
                                           kt::DialogButtons::Ok, nullptr, ports),
              kt::ModalResult::Ok);
    driverThread.join();
    EXPECT_NE(boxStyle & WS_VSCROLL, 0);
    EXPECT_EQ(firstShown, 0) << "the list must open at its first port";
    EXPECT_LE(dialogRect.bottom - dialogRect.top, GetSystemMetrics(SM_CYSCREEN) / 2);
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
        // The fixed text stays; the port tried and its reason come as the detail.
        EXPECT_EQ(dialog->detail, "COM99: no such device");
        EXPECT_EQ(dialog->caption, "KT-FLASH V.3.0");
        EXPECT_EQ(dialog->icon, LoadIconW(nullptr, IDI_ERROR));
        driver.Answer(*dialog, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_EQ(driver.Log(), (Lines{"ОШИБКА! ТЕЛВИКС не подключен к компьютеру.", ""}));
        EXPECT_EQ(driver.StatusText(TMainForm::kStatusStep), "ОШИБКА! ТЕЛВИКС не подключен к компьютеру.");
    });
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", "missing"), "");  // cleared by the failed search
    EXPECT_EQ(ini.ReadString("PARAMS", "LAST_NAME", ""), "C:\\x\\y.kvf");
    EXPECT_EQ(ini.ReadString("PARAMS", "BOAD", ""), "9600");
}

// Each port tried shows in the status bar while the next is tried, and the
// error dialog lists them all with their reasons.
TEST(WinMainFormDevice, SearchShowsEachPortTriedAndListsThemAll)
{
    const std::string deaf = ComPort("KT_COM_DEAF");
    REQUIRE_COM_PORT(deaf);
    kt::test::TempDir dir;
    PortListScope ports({deaf});
    dir.Write("kt-flash.INI", "[PARAMS]\r\nPORT=COM250\r\n");
    TMainForm form(Settings(dir));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolInfo);
        // The deaf port takes its answer's time: the missing one shows meanwhile.
        EXPECT_TRUE(WindowDriver::WaitFor(
            [&] { return driver.StatusText(TMainForm::kStatusStep) == "COM250: no such device"; }));
        const auto dialog = driver.WaitDialog();
        ASSERT_TRUE(dialog.has_value());
        EXPECT_EQ(dialog->text,
                  "ОШИБКА! Контроллер не подключен к компьютеру.\nПроверьте кабель, питание и повторите снова.");
        EXPECT_EQ(dialog->detail,
                  "COM250: no such device\n" + deaf + ": no answer: nothing answered the presence probe");
        driver.Answer(*dialog, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
    });
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

// The status bar names the simulated device, the step under way and, while
// blocks are written, the whole update's progress, which goes with the update.
TEST(WinMainFormDevice, StatusBarFollowsTheUpdate)
{
    kt::test::TempDir dir;
    kt::sim::SimOptions slow;
    slow.baud = 115200;  // about 45 ms a core block
    kt::sim::InProcessDevice sim(slow);
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, UpdatePackage(260 * 20, 512 * 2))));
    kt::test::Drive(form, [&](WindowDriver& driver) {
        EXPECT_EQ(driver.StatusText(TMainForm::kStatusDevice), "Имитация ТЕЛВИКСа на порту SIM");
        EXPECT_EQ(driver.StatusText(TMainForm::kStatusStep), "Файл загружен успешно.");
        EXPECT_EQ(driver.StatusText(TMainForm::kStatusTotal), "");
        driver.Key(VK_RETURN);
        const auto question = driver.WaitDialog();
        ASSERT_TRUE(question.has_value());
        driver.Answer(*question, VK_RETURN);
        std::string total;
        EXPECT_TRUE(WindowDriver::WaitFor(
            [&] {
                total = driver.StatusText(TMainForm::kStatusTotal);
                return driver.StatusText(TMainForm::kStatusStep) == "Обновление микропрограммы..." &&
                       total.rfind("Всего ", 0) == 0 && total != "Всего 0 %";
            },
            60s))
            << LastLine(driver) << " / " << total;
        const auto done = driver.WaitDialog(60s);
        ASSERT_TRUE(done.has_value()) << LastLine(driver);
        EXPECT_EQ(done->text, "ТЕЛВИКС готов к работе!");
        driver.Answer(*done, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_TRUE(WindowDriver::WaitFor([&] { return driver.StatusText(TMainForm::kStatusTotal).empty(); }));
        EXPECT_EQ(driver.StatusText(TMainForm::kStatusStep), LastHeading(driver));
        EXPECT_EQ(driver.StatusText(TMainForm::kStatusDevice), "Имитация ТЕЛВИКСа на порту SIM");
    });
}

std::vector<std::string> FileLines(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// RECORD in the settings: each operation appends its record, one line.
TEST(WinMainFormRecord, InformationReadoutAppendsItsRecord)
{
    kt::test::TempDir dir;
    const std::string records = (dir.Path() / "records.jsonl").string();
    dir.Write("kt-flash.INI", "[PARAMS]\r\nRECORD=" + records + "\r\n");
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolInfo);
        ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.LogContains("   DRAXO ID: TLV-M2-00042"); }));
        ASSERT_TRUE(driver.WaitIdle());
    });
    // The window is gone: the operation and its record are over.
    const auto lines = FileLines(records);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].front(), '{');
    EXPECT_EQ(lines[0].back(), '}') << "one whole line, LF only";
    EXPECT_NE(lines[0].find("\"operation\":\"info\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"ok\":true"), std::string::npos) << lines[0];
}

// The log saved to a file (Ctrl+S): every line after the local date and
// time it was added, in UTF-8; a file that cannot be written is said.
TEST(WinMainFormLog, SavesTheLogWithTimesAndSaysWhenItCannot)
{
    kt::test::TempDir dir;
    const std::string saved = (dir.Path() / "log.txt").string();
    const std::string unwritable = (dir.Path() / "no-such-folder" / "log.txt").string();
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    std::string target = saved;
    form.SetSaveFileChooser([&](TMainForm&) { return target; });
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolInfo);
        ASSERT_TRUE(WindowDriver::WaitFor([&] { return driver.LogContains("   DRAXO ID: TLV-M2-00042"); }));
        ASSERT_TRUE(driver.WaitIdle());
        SendMessageW(form.Handle(), WM_COMMAND, TMainForm::kSaveLogCommand, 0);
        target = unwritable;
        PostMessageW(form.Handle(), WM_COMMAND, TMainForm::kSaveLogCommand, 0);
        const auto dialog = driver.WaitDialog();
        ASSERT_TRUE(dialog.has_value());
        EXPECT_EQ(dialog->text, "Не удалось сохранить журнал в файл " + unwritable);
        driver.Answer(*dialog, VK_RETURN);
    });
    const auto lines = FileLines(saved);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].substr(25), "ТЕЛВИКС обнаружен на порту SIM");
    EXPECT_EQ(lines[lines.size() - 2].substr(25), "   DRAXO ID: TLV-M2-00042");
    for (const auto& line : lines) {
        // "2026-12-11 04:05:06.789  "
        ASSERT_GE(line.size(), 25u) << line;
        EXPECT_TRUE(line[4] == '-' && line[10] == ' ' && line[13] == ':' && line[19] == '.' &&
                    line.substr(23, 2) == "  ")
            << line;
    }
}

// A record that cannot be kept is an error before anything goes to the device.
TEST(WinMainFormRecord, RecordNamingAFolderSendsNothing)
{
    kt::test::TempDir dir;
    const std::string folder = dir.Path().string();
    dir.Write("kt-flash.INI", "[PARAMS]\r\nRECORD=" + folder + "\r\n");
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    kt::test::Drive(form, [&](WindowDriver& driver) {
        driver.Click(TMainForm::kToolInfo);
        const auto dialog = driver.WaitDialog();
        ASSERT_TRUE(dialog.has_value());
        EXPECT_EQ(dialog->text.rfind("Не удаётся вести журнал операций:\n" + folder + "\n", 0), 0u) << dialog->text;
        EXPECT_EQ(dialog->icon, LoadIconW(nullptr, IDI_ERROR));
        driver.Answer(*dialog, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_TRUE(driver.Log().empty()) << LastLine(driver);
    });
    EXPECT_TRUE(sim.Frames().empty());
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
        EXPECT_TRUE(dialog->detail.empty()) << "the device was found: " << dialog->detail;
        driver.Answer(*dialog, VK_RETURN);
        ASSERT_TRUE(driver.WaitIdle());
        EXPECT_TRUE(driver.LogContains("   ОШИБКА при работе с контроллером!"));
    });
    EXPECT_FALSE(form.Comm1.Active());
    EXPECT_FALSE(form.Session().Busy);
}

}  // namespace
