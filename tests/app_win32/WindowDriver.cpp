#include "WindowDriver.h"

#include "MessageDialog.h"
#include "platform/Text_win32.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>
#include <thread>

namespace kt::test {
namespace {

constexpr UINT kSendTimeoutMs = 10000;
constexpr auto kPoll = 5ms;

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    if (text.empty())
        return lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

}  // namespace

WindowDriver::WindowDriver(TMainForm& form)
    : main_(form.Handle()), toolbar_(form.ToolBar1), memo_(form.Memo), progress_(form.ProgressBar),
      status_(form.StatusBar), thread_(GetWindowThreadProcessId(form.Handle(), nullptr))
{}

LRESULT WindowDriver::Send(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) const
{
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(hwnd, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result) == 0)
        return 0;
    return static_cast<LRESULT>(result);
}

std::string WindowDriver::TextOf(HWND hwnd) const
{
    const auto length = static_cast<std::size_t>(Send(hwnd, WM_GETTEXTLENGTH));
    std::wstring text(length + 1, L'\0');
    const auto got = static_cast<std::size_t>(
        Send(hwnd, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data())));
    text.resize(std::min(got, length));
    return platform::ToUtf8(text);
}

std::vector<std::string> WindowDriver::Log() const
{
    return SplitLines(TextOf(memo_));
}

bool WindowDriver::LogContains(const std::string& line) const
{
    const auto lines = Log();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string WindowDriver::Caption() const
{
    return TextOf(main_);
}

bool WindowDriver::WindowExists() const
{
    return IsWindow(main_) != FALSE;
}

bool WindowDriver::ButtonEnabled(int id) const
{
    return Send(toolbar_, TB_ISBUTTONENABLED, static_cast<WPARAM>(id)) != 0;
}

bool WindowDriver::ButtonVisible(int id) const
{
    return Send(toolbar_, TB_ISBUTTONHIDDEN, static_cast<WPARAM>(id)) == 0;
}

std::string WindowDriver::Hint(int id) const
{
    // What the toolbar's tooltip asks its window for.
    NMTTDISPINFOW info{};
    info.hdr.hwndFrom = toolbar_;
    info.hdr.idFrom = static_cast<UINT_PTR>(id);
    info.hdr.code = TTN_GETDISPINFOW;
    Send(main_, WM_NOTIFY, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&info));
    return info.lpszText != nullptr ? platform::ToUtf8(info.lpszText) : std::string();
}

int WindowDriver::ProgressPosition() const
{
    return static_cast<int>(Send(progress_, PBM_GETPOS));
}

int WindowDriver::ProgressMax() const
{
    return static_cast<int>(Send(progress_, PBM_GETRANGE, FALSE));
}

std::string WindowDriver::StatusText(TMainForm::StatusPart part) const
{
    const auto length = static_cast<std::size_t>(LOWORD(Send(status_, SB_GETTEXTLENGTHW, static_cast<WPARAM>(part))));
    std::wstring text(length + 1, L'\0');
    text.resize(LOWORD(Send(status_, SB_GETTEXTW, static_cast<WPARAM>(part), reinterpret_cast<LPARAM>(text.data()))));
    return platform::ToUtf8(text);
}

HWND WindowDriver::Focus() const
{
    GUITHREADINFO gui{};
    gui.cbSize = sizeof gui;
    return GetGUIThreadInfo(thread_, &gui) ? gui.hwndFocus : nullptr;
}

void WindowDriver::Click(int id) const
{
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(toolbar_));
}

void WindowDriver::Key(WPARAM key) const
{
    PostMessageW(memo_, WM_KEYDOWN, key, 1);
}

void WindowDriver::Close() const
{
    PostMessageW(main_, WM_CLOSE, 0, 0);
}

std::optional<ShownDialog> WindowDriver::WaitDialog(std::chrono::milliseconds timeout) const
{
    const auto found = FindDialog(true, timeout);
    if (!found)
        return std::nullopt;
    ShownDialog d;
    d.hwnd = *found;
    d.caption = TextOf(d.hwnd);
    d.text = TextOf(GetDlgItem(d.hwnd, win32::kDialogTextId));
    std::erase(d.text, '\r');
    if (HWND detail = GetDlgItem(d.hwnd, win32::kDialogDetailId)) {
        d.detail = TextOf(detail);
        std::erase(d.detail, '\r');
    }
    for (int id : {IDOK, IDYES, IDNO})
        if (HWND button = GetDlgItem(d.hwnd, id))
            d.buttons.push_back(TextOf(button));
    d.defaultId = LOWORD(Send(d.hwnd, DM_GETDEFID));
    d.icon = reinterpret_cast<HICON>(Send(GetDlgItem(d.hwnd, win32::kDialogIconId), STM_GETICON));
    return d;
}

std::optional<HWND> WindowDriver::WaitOwnedDialog(std::chrono::milliseconds timeout) const
{
    return FindDialog(false, timeout);
}

std::optional<HWND> WindowDriver::FindDialog(bool messageDialog, std::chrono::milliseconds timeout) const
{
    struct Search {
        HWND owner;
        bool messageDialog;
        HWND found;
    } search{main_, messageDialog, nullptr};
    const auto find = [](HWND hwnd, LPARAM lParam) -> BOOL {
        auto* s = reinterpret_cast<Search*>(lParam);
        wchar_t name[16] = {};
        GetClassNameW(hwnd, name, 16);
        if (std::wstring_view(name) == L"#32770" && IsWindowVisible(hwnd) && GetWindow(hwnd, GW_OWNER) == s->owner &&
            (!s->messageDialog || GetDlgItem(hwnd, win32::kDialogTextId) != nullptr)) {
            s->found = hwnd;
            return FALSE;
        }
        return TRUE;
    };
    if (!WaitFor(
            [&] {
                search.found = nullptr;
                EnumThreadWindows(thread_, find, reinterpret_cast<LPARAM>(&search));
                return search.found != nullptr;
            },
            timeout))
        return std::nullopt;
    return search.found;
}

void WindowDriver::WaitGone(HWND hwnd) const
{
    WaitFor([&] { return IsWindow(hwnd) == FALSE || IsWindowVisible(hwnd) == FALSE; });
}

void WindowDriver::Answer(const ShownDialog& dialog, WPARAM key) const
{
    // The key goes to the focused control, as a keyboard's would.
    HWND target = dialog.hwnd;
    if (HWND focus = Focus(); focus != nullptr && GetParent(focus) == dialog.hwnd)
        target = focus;
    PostMessageW(target, WM_KEYDOWN, key, 1);
    WaitGone(dialog.hwnd);
}

void WindowDriver::Press(const ShownDialog& dialog, int buttonId) const
{
    PostMessageW(dialog.hwnd, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog.hwnd, buttonId)));
    WaitGone(dialog.hwnd);
}

void WindowDriver::CloseDialog(const ShownDialog& dialog) const
{
    PostMessageW(dialog.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
    WaitGone(dialog.hwnd);
}

bool WindowDriver::WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPoll);
    }
}

bool WindowDriver::WaitIdle(std::chrono::milliseconds timeout) const
{
    return WaitFor([&] { return ButtonEnabled(TMainForm::kToolOpen); }, timeout);
}

bool WindowDriver::Screenshot(const std::string& path) const
{
    RECT r{};
    if (!GetWindowRect(main_, &r))
        return false;
    const int width = r.right - r.left;
    const int height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY | CAPTUREBLT);
    SelectObject(memory, old);

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as a BMP file keeps its rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    const int stride = (width * 3 + 3) & ~3;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height));
    const int rows = GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (rows != height)
        return false;

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    info.bmiHeader.biSizeImage = static_cast<DWORD>(pixels.size());
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool ok = std::fwrite(&file, sizeof file, 1, out) == 1 &&
              std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out) == 1 &&
              std::fwrite(pixels.data(), 1, pixels.size(), out) == pixels.size();
    ok = std::fclose(out) == 0 && ok;
    return ok;
}

bool WindowDriver::Finish(std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (WindowExists()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (auto dialog = WaitDialog(0ms)) {
            // A stop question is answered Yes, anything else as its default.
            if (dialog->text.rfind("Прервать обновление?", 0) == 0)
                Press(*dialog, IDYES);
            else
                Answer(*dialog, VK_RETURN);
        } else if (!ButtonEnabled(TMainForm::kToolOpen)) {
            Key(VK_ESCAPE);  // an operation holds the window
        } else {
            Close();
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

void Drive(TMainForm& form, const std::function<void(WindowDriver&)>& script)
{
    form.Show();
    WindowDriver driver(form);
    std::thread thread([&] {
        try {
            script(driver);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "the driver failed: " << e.what();
        }
        if (!driver.Finish())
            ADD_FAILURE() << "the window did not close";
    });
    form.Run();
    thread.join();
}

}  // namespace kt::test
