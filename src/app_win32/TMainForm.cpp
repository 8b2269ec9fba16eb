#include "TMainForm.h"

#include "MessageDialog.h"

#include "link/Protocol.h"
#include "platform/ExecutablePath.h"
#include "platform/Text_win32.h"
#include "serial/PortList.h"
#include "serial/SpSafeSync.h"
#include "view/XpmImage.h"

#include "view/icons/clock.xpm"
#include "view/icons/flash.xpm"
#include "view/icons/info.xpm"
#include "view/icons/open.xpm"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

const char* const TMainForm::kStopTransferQuestion = kt::FormActions::kStopTransferQuestion;

namespace {

using kt::platform::ToUtf8;
using kt::platform::ToWide;

// Asks the main thread to serve the dispatcher's hand-overs.
constexpr UINT kServeSyncMessage = WM_APP + 1;
constexpr const wchar_t* kSyncWindowClass = L"KtFlashSync";

// Design sizes at 96 dots per inch.
constexpr int kToolBarHeight = 29;
constexpr int kBevelHeight = 2;
constexpr int kProgressHeight = 22;
constexpr int kImageSide = 16;
// The log inside its group box: the frame's inner margins and the caption's line.
constexpr int kGroupMargin = 8;
constexpr int kGroupCaption = 16;
// Room around a status part's text: the part's sunken edge and a gap.
constexpr int kStatusPadding = 12;

// Names the simulated device in the status bar.
const char* const kSimulatedDevice = "Имитация ТЕЛВИКСа на порту ";

// The toolbar's buttons and their hints, in the order of ToolButton.
struct ToolItem {
    int id;
    const char* hint;
};
constexpr std::array<ToolItem, kt::kToolButtonCount> kToolItems{{
    {TMainForm::kToolOpen, "Открыть файл обновления ТЕЛВИКСа"},
    {TMainForm::kToolInfo, "Прочитать информацию о ТЕЛВИКСе"},
    {TMainForm::kToolTime, "Синхронизация времени"},
    {TMainForm::kToolFullFlash, "Начать обновлние ТЕЛВИКСа"},
}};

const char* HintFor(int id)
{
    for (const auto& item : kToolItems)
        if (item.id == id)
            return item.hint;
    return nullptr;
}

// A 32-bit picture with its transparency mask for an image list or an icon.
struct Picture {
    HBITMAP colour = nullptr;
    HBITMAP mask = nullptr;
    ~Picture()
    {
        if (colour != nullptr)
            DeleteObject(colour);
        if (mask != nullptr)
            DeleteObject(mask);
    }
};

// `scale` repeats each pixel, for the large icon.
void MakePicture(const kt::XpmImage& image, int scale, Picture& out)
{
    const int width = image.width * scale;
    const int height = image.height * scale;
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    out.colour = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    // The mask: one bit a pixel, rows padded to 16 bits, 1 where transparent.
    const int stride = ((width + 15) / 16) * 2;
    std::vector<BYTE> mask(static_cast<std::size_t>(stride) * static_cast<std::size_t>(height), 0);
    auto* pixels = static_cast<std::uint32_t*>(bits);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const std::uint32_t argb =
                image.pixels[static_cast<std::size_t>(y / scale) * static_cast<std::size_t>(image.width) +
                             static_cast<std::size_t>(x / scale)];
            if (pixels != nullptr)
                pixels[y * width + x] = argb;  // BGRA in memory, as the DIB wants it
            if ((argb >> 24) == 0)
                mask[static_cast<std::size_t>(y * stride + x / 8)] |= static_cast<BYTE>(0x80 >> (x % 8));
        }
    out.mask = CreateBitmap(width, height, 1, 1, mask.data());
}

HICON MakeIcon(const kt::XpmImage& image, int scale)
{
    Picture picture;
    MakePicture(image, scale, picture);
    ICONINFO info{};
    info.fIcon = TRUE;
    info.hbmColor = picture.colour;
    info.hbmMask = picture.mask;
    return CreateIconIndirect(&info);
}

}  // namespace

TMainForm::TMainForm(std::optional<std::string> settingsPath)
    : settingsPath_(settingsPath ? *settingsPath
                                 : kt::DefaultSettingsPath(kt::platform::ExecutablePath().value_or("kt-flash.exe")))
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HINSTANCE instance = GetModuleHandleW(nullptr);

    WNDCLASSEXW sync{};
    sync.cbSize = sizeof sync;
    sync.lpfnWndProc = SyncWindowProc;
    sync.hInstance = instance;
    sync.lpszClassName = kSyncWindowClass;
    RegisterClassExW(&sync);  // fails harmlessly when a second window registers it again
    syncWindow_ = CreateWindowExW(0, kSyncWindowClass, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, this);
    if (syncWindow_ == nullptr)
        throw std::runtime_error("cannot create the main thread's message window");

    // The serial port's events reach this thread through the window's message loop.
    kt::serial::SetSyncMainThread();
    // One posted message serves every hand-over pending when it is handled.
    // The waker runs on worker threads: it holds what it touches.
    kt::serial::SetSyncWaker([posted = servePosted_, target = syncWindow_] {
        if (!posted->exchange(true))
            PostMessageW(target, kServeSyncMessage, 0, 0);
    });
    kt::DeviceSession::ConfigurePort(Comm1);
    session_ = std::make_unique<kt::DeviceSession>(Comm1, *this, Package_);
    actions_ = std::make_unique<kt::FormActions>(*session_, *this);
    // Errors of the port's event handlers and worker threads end the running
    // operation and are shown in an error dialog.
    kt::serial::SetSyncExceptionHandler([this](std::exception_ptr error) { ShowProgramError(error); });

    if (auto art = kt::DecodeXpm(flash_xpm)) {
        iconSmall_ = MakeIcon(*art, 1);
        iconBig_ = MakeIcon(*art, 2);
    }
    WNDCLASSEXW form{};
    form.cbSize = sizeof form;
    form.lpfnWndProc = WindowProc;
    form.hInstance = instance;
    form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    form.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    form.lpszClassName = kWindowClass;
    form.hIcon = iconBig_;
    form.hIconSm = iconSmall_;
    RegisterClassExW(&form);

    HDC screen = GetDC(nullptr);
    dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    // "MS Sans Serif" 8 pt with the Cyrillic character set: with the default
    // set the name may resolve to a Western bitmap font that has no Russian letters.
    font_ =
        CreateFontW(-MulDiv(8, dpi_, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"MS Sans Serif");

    // Sizeable, with the system menu and minimise but no maximise button.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX;
    hwnd_ = CreateWindowExW(0, kWindowClass, ToWide(kt::kDesignCaption).c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                            Scaled(kDesignWidth), Scaled(kDesignHeight), nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr)
        throw std::runtime_error("cannot create the main window");
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(iconBig_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(iconSmall_));
    CreateControls();
    // The design's controls keep their places: the window grows by the status bar.
    SetWindowPos(hwnd_, nullptr, 0, 0, Scaled(kDesignWidth), Scaled(kDesignHeight) + StatusHeight(),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    LayoutControls();

    progress_.OnChange([this](const kt::ProgressBar& p) {
        SendMessageW(ProgressBar, PBM_SETRANGE32, static_cast<WPARAM>(p.Min()), static_cast<LPARAM>(p.Max()));
        SendMessageW(ProgressBar, PBM_SETPOS, static_cast<WPARAM>(p.Position()), 0);
    });
    FormCreate();
}

TMainForm::~TMainForm()
{
    kt::serial::SetSyncExceptionHandler(nullptr);
    actions_.reset();
    session_.reset();
    Comm1.Close();
    kt::serial::SetSyncWaker(nullptr);
    if (hwnd_ != nullptr) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
    if (syncWindow_ != nullptr) {
        SetWindowLongPtrW(syncWindow_, GWLP_USERDATA, 0);
        DestroyWindow(syncWindow_);
    }
    // The classes go with the window: the next window registers them anew, with its own icons.
    HINSTANCE instance = GetModuleHandleW(nullptr);
    UnregisterClassW(kWindowClass, instance);
    UnregisterClassW(kSyncWindowClass, instance);
    if (images_ != nullptr)
        ImageList_Destroy(images_);
    if (font_ != nullptr)
        DeleteObject(font_);
    if (iconBig_ != nullptr)
        DestroyIcon(iconBig_);
    if (iconSmall_ != nullptr)
        DestroyIcon(iconSmall_);
}

int TMainForm::Scaled(int pixels) const
{
    return MulDiv(pixels, dpi_, 96);
}

void TMainForm::CreateControls()
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    auto child = [&](DWORD exStyle, const wchar_t* windowClass, const std::wstring& text, DWORD style, int id) {
        HWND control = CreateWindowExW(exStyle, windowClass, text.c_str(), WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0,
                                       hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        return control;
    };

    ToolBar1 = child(0, TOOLBARCLASSNAMEW, L"",
                     TBSTYLE_FLAT | TBSTYLE_TOOLTIPS | CCS_NODIVIDER | CCS_NORESIZE | CCS_NOPARENTALIGN, kToolBar1);
    SendMessageW(ToolBar1, TB_BUTTONSTRUCTSIZE, sizeof(TBBUTTON), 0);
    images_ = ImageList_Create(kImageSide, kImageSide, ILC_COLOR32 | ILC_MASK, kt::kToolButtonCount, 0);
    // In the order of the toolbar's image numbers.
    for (const auto& art :
         {kt::DecodeXpm(open_xpm), kt::DecodeXpm(info_xpm), kt::DecodeXpm(clock_xpm), kt::DecodeXpm(flash_xpm)}) {
        Picture picture;
        if (art)
            MakePicture(*art, 1, picture);
        ImageList_Add(images_, picture.colour, picture.mask);
    }
    SendMessageW(ToolBar1, TB_SETIMAGELIST, 0, reinterpret_cast<LPARAM>(images_));
    auto button = [](int image, int id, BYTE state) {
        TBBUTTON b{};
        b.iBitmap = image;
        b.idCommand = id;
        b.fsState = state;
        b.fsStyle = BTNS_BUTTON;
        return b;
    };
    auto separator = [&](int width, int id, BYTE state) {
        TBBUTTON b = button(width, id, state);  // a separator's image is its width
        b.fsStyle = BTNS_SEP;
        return b;
    };
    // As designed: ToolInfo, ToolTime and the separator before them hidden,
    // the update disabled; the creation shows the hidden ones.
    TBBUTTON items[] = {
        separator(Scaled(8), kToolButton1, TBSTATE_ENABLED),
        button(0, kToolOpen, TBSTATE_ENABLED),
        separator(Scaled(10), kToolButton4, TBSTATE_ENABLED | TBSTATE_HIDDEN),
        button(1, kToolInfo, TBSTATE_ENABLED | TBSTATE_HIDDEN),
        button(2, kToolTime, TBSTATE_ENABLED | TBSTATE_HIDDEN),
        separator(Scaled(8), kToolButton2, TBSTATE_ENABLED),
        button(3, kToolFullFlash, 0),
    };
    SendMessageW(ToolBar1, TB_ADDBUTTONSW, std::size(items), reinterpret_cast<LPARAM>(items));

    Bevel1 = child(0, L"STATIC", L"", SS_ETCHEDHORZ, kBevel1);
    GroupBox1 = child(0, L"BUTTON", ToWide(" Информация о прошивке "), BS_GROUPBOX, kGroupBox1);
    // Read-only, no word wrap (lines run on to the right), a vertical scroll bar only.
    Memo = child(WS_EX_CLIENTEDGE, L"EDIT", L"",
                 WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL, kMemo);
    SendMessageW(Memo, EM_SETLIMITTEXT, 0, 0);  // no 32 K limit on the log
    ProgressBar = child(0, PROGRESS_CLASSW, L"", 0, kProgress);
    SendMessageW(ProgressBar, PBM_SETRANGE32, 0, 100);
    SendMessageW(ProgressBar, PBM_SETPOS, 0, 0);
    // Last: its being there tells the layout that every control is.
    StatusBar = child(0, STATUSCLASSNAMEW, L"", SBARS_SIZEGRIP | CCS_BOTTOM, kStatusBar);
    // Sized for the font it was given.
    SendMessageW(StatusBar, WM_SIZE, 0, 0);
    LayoutStatusParts();
}

int TMainForm::StatusHeight() const
{
    RECT r{};
    if (StatusBar == nullptr || !GetWindowRect(StatusBar, &r))
        return 0;
    return r.bottom - r.top;
}

void TMainForm::LayoutStatusParts()
{
    RECT client{};
    GetClientRect(hwnd_, &client);
    HDC dc = GetDC(StatusBar);
    HGDIOBJ old = SelectObject(dc, font_);
    auto widthOf = [&](const std::wstring& text) {
        SIZE size{};
        if (text.empty() || !GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size))
            return 0;
        return static_cast<int>(size.cx) + Scaled(kStatusPadding);
    };
    const int device = widthOf(statusTexts_[kStatusDevice]);
    statusTotalWidth_ =
        statusTexts_[kStatusTotal].empty() ? 0 : std::max(statusTotalWidth_, widthOf(statusTexts_[kStatusTotal]));
    SelectObject(dc, old);
    ReleaseDC(StatusBar, dc);
    // Right edges; the last part runs under the size grip to the window's edge.
    const int grip = GetSystemMetrics(SM_CXVSCROLL);
    std::array<int, kStatusPartCount> edges{};
    edges[kStatusDevice] = -1;
    edges[kStatusTotal] = std::max(0, static_cast<int>(client.right) - grip - device);
    edges[kStatusStep] = std::max(0, edges[kStatusTotal] - statusTotalWidth_);
    SendMessageW(StatusBar, SB_SETPARTS, edges.size(), reinterpret_cast<LPARAM>(edges.data()));
}

void TMainForm::SetStatusText(StatusPart part, std::wstring text)
{
    // A tab would split the text into aligned pieces.
    std::replace(text.begin(), text.end(), L'\t', L' ');
    statusTexts_[static_cast<std::size_t>(part)] = std::move(text);
    LayoutStatusParts();
    const std::wstring& shown = statusTexts_[static_cast<std::size_t>(part)];
    // An empty part on the right draws no edge either.
    const WPARAM flags = static_cast<WPARAM>(part) | (shown.empty() && part != kStatusStep ? SBT_NOBORDERS : 0);
    SendMessageW(StatusBar, SB_SETTEXTW, flags, reinterpret_cast<LPARAM>(shown.c_str()));
}

void TMainForm::LayoutControls()
{
    RECT client{};
    GetClientRect(hwnd_, &client);
    // The status bar places itself along the bottom; the design fills the rest.
    SendMessageW(StatusBar, WM_SIZE, 0, 0);
    LayoutStatusParts();
    const int width = client.right;
    const int height = std::max(0, static_cast<int>(client.bottom) - StatusHeight());
    const int bar = Scaled(kToolBarHeight);
    const int bevel = Scaled(kBevelHeight);
    const int progress = Scaled(kProgressHeight);
    MoveWindow(ToolBar1, 0, 0, width, bar, TRUE);
    MoveWindow(Bevel1, 0, bar, width, bevel, TRUE);
    const int groupTop = bar + bevel;
    const int groupHeight = std::max(0, height - progress - groupTop);
    MoveWindow(GroupBox1, 0, groupTop, width, groupHeight, TRUE);
    const int margin = Scaled(kGroupMargin);
    const int caption = Scaled(kGroupCaption);
    MoveWindow(Memo, margin, groupTop + caption, std::max(0, width - 2 * margin),
               std::max(0, groupHeight - caption - margin), TRUE);
    MoveWindow(ProgressBar, 0, height - progress, width, progress, TRUE);
}

void TMainForm::FormCreate()
{
    session_->Busy = false;
    try {
        kt::ReadSettings(settingsPath_, *this);
        for (int id : {kToolInfo, kToolTime, kToolButton4})
            SendMessageW(ToolBar1, TB_HIDEBUTTON, static_cast<WPARAM>(id), FALSE);
    } catch (...) {
        // Whatever failed keeps its design value; the window opens all the same.
    }
}

kt::WindowBounds TMainForm::Bounds() const
{
    WINDOWPLACEMENT placement{};
    placement.length = sizeof placement;
    RECT r{};
    if (IsIconic(hwnd_) && GetWindowPlacement(hwnd_, &placement))
        r = placement.rcNormalPosition;
    else
        GetWindowRect(hwnd_, &r);
    return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

void TMainForm::SetBounds(const kt::WindowBounds& b)
{
    // The window can never be made smaller than designed.
    SetWindowPos(hwnd_, nullptr, b.left, b.top, std::max(b.width, Scaled(kDesignWidth)),
                 std::max(b.height, Scaled(kDesignHeight) + StatusHeight()), SWP_NOZORDER | SWP_NOACTIVATE);
}

void TMainForm::SetOpenDialog(const std::string& folder, const std::string& fileName)
{
    openDialogDir_ = folder;
    openDialogFile_ = fileName;
}

void TMainForm::SetRecordFile(const std::string& path)
{
    actions_->SetRecordFile(path);
}

std::string TMainForm::ExecutableFolder() const
{
    const auto path = kt::platform::ExecutablePath();
    if (!path)
        return {};
    return ToUtf8(std::filesystem::path(ToWide(*path)).parent_path().wstring());
}

void TMainForm::Show()
{
    if (!shown_) {
        shown_ = true;
        // The first showing centres the window on the desktop, whatever Left and Top said.
        RECT r{};
        GetWindowRect(hwnd_, &r);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(hwnd_, MONITOR_DEFAULTTOPRIMARY), &monitor);
        const RECT& work = monitor.rcWork;
        const int width = r.right - r.left;
        const int height = r.bottom - r.top;
        SetWindowPos(hwnd_, nullptr, work.left + (work.right - work.left - width) / 2,
                     work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    ShowWindow(hwnd_, SW_SHOW);
    UpdateWindow(hwnd_);
}

int TMainForm::Run()
{
    MSG message;
    while (!quitCode_) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == -1)
            return 1;
        if (got == 0) {
            quitCode_ = static_cast<int>(message.wParam);
            break;
        }
        Dispatch(message);
    }
    const int code = *quitCode_;
    quitCode_.reset();
    return code;
}

void TMainForm::Dispatch(MSG& message)
{
    // Key preview: Enter and Esc reach the window before the focused control.
    if (message.message == WM_KEYDOWN && hwnd_ != nullptr &&
        (message.hwnd == hwnd_ || GetAncestor(message.hwnd, GA_ROOT) == hwnd_) && FormKeyPress(message.wParam))
        return;
    TranslateMessage(&message);
    DispatchMessageW(&message);
}

void TMainForm::ProcessEvents(Clock::time_point deadline)
{
    // Waits for any message (received data comes as one) until the deadline;
    // then runs everything pending.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    MSG message;
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE))
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::clamp<long long>(left, 0, INFINITE - 1)),
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // Kept for the outer loop; reposting it would wake this wait for ever.
            quitCode_ = static_cast<int>(message.wParam);
            break;
        }
        Dispatch(message);
    }
    kt::serial::ServeSyncCalls();
}

void TMainForm::Pause(std::chrono::milliseconds duration)
{
    Sleep(static_cast<DWORD>(std::max<long long>(0, duration.count())));
}

bool TMainForm::ToolButtonEnabled(kt::ToolButton button) const
{
    const int id = kToolItems[static_cast<std::size_t>(button)].id;
    return SendMessageW(ToolBar1, TB_ISBUTTONENABLED, static_cast<WPARAM>(id), 0) != 0;
}

void TMainForm::SetToolButtonEnabled(kt::ToolButton button, bool enabled)
{
    const int id = kToolItems[static_cast<std::size_t>(button)].id;
    SendMessageW(ToolBar1, TB_ENABLEBUTTON, static_cast<WPARAM>(id), MAKELPARAM(enabled ? TRUE : FALSE, 0));
}

std::tm TMainForm::LocalTime()
{
    return kt::ReadLocalClock();
}

std::vector<std::string> TMainForm::SystemPorts()
{
    return kt::serial::GetSerialPortList();
}

LRESULT CALLBACK TMainForm::SyncWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* form = reinterpret_cast<TMainForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == kServeSyncMessage && form != nullptr) {
        *form->servePosted_ = false;
        kt::serial::ServeSyncCalls();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK TMainForm::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* form = static_cast<TMainForm*>(create->lpCreateParams);
        form->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
    }
    auto* form = reinterpret_cast<TMainForm*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (form == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    // No exception may leave a window procedure: what escapes is shown as a program error.
    try {
        return form->HandleMessage(message, wParam, lParam);
    } catch (...) {
        form->ShowProgramError(std::current_exception());
        return 0;
    }
}

LRESULT TMainForm::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_SIZE:
        if (StatusBar != nullptr)
            LayoutControls();
        return 0;
    case WM_GETMINMAXINFO: {
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = {Scaled(kDesignWidth), Scaled(kDesignHeight) + StatusHeight()};
        return 0;
    }
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED && reinterpret_cast<HWND>(lParam) == ToolBar1)
            ToolClick(LOWORD(wParam));
        else if (lParam == 0 && LOWORD(wParam) == kSaveLogCommand)
            SaveLogClick();
        return 0;
    case WM_NOTIFY: {
        auto* header = reinterpret_cast<NMHDR*>(lParam);
        if (header->code == TTN_GETDISPINFOW) {
            // The toolbar's hints; the text lives as long as the tooltip shows it.
            static thread_local std::wstring hint;
            auto* info = reinterpret_cast<NMTTDISPINFOW*>(lParam);
            const char* text = HintFor(static_cast<int>(header->idFrom));
            hint = text != nullptr ? ToWide(text) : std::wstring();
            info->lpszText = hint.data();
            info->hinst = nullptr;
            return 0;
        }
        break;
    }
    case WM_CTLCOLORSTATIC:
        // The read-only log keeps the white of an editable one.
        if (reinterpret_cast<HWND>(lParam) == Memo) {
            SetBkColor(reinterpret_cast<HDC>(wParam), GetSysColor(COLOR_WINDOW));
            return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
        }
        break;
    case WM_CLOSE:
        if (FormCloseQuery())
            DestroyWindow(hwnd_);
        return 0;
    case WM_QUERYENDSESSION:
        // Logging off or shutting down in the middle of an update would leave
        // the device with half an image: Windows is asked to wait.
        return session_->InOperation() ? FALSE : TRUE;
    case WM_ENDSESSION:
        // The session ends without a close: the settings are written now.
        if (wParam != FALSE && !session_->InOperation())
            FormCloseQuery();
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY: {
        HWND gone = hwnd_;
        hwnd_ = nullptr;
        return DefWindowProcW(gone, message, wParam, lParam);
    }
    default:
        break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

bool TMainForm::FormCloseQuery()
{
    // Refused silently while an operation holds the device; otherwise the
    // device link is closed and the settings are written.
    if (session_->InOperation())
        return false;
    session_->DisconnectDevice();
    // The window closes all the same; what could not be kept is said.
    if (!kt::WriteSettings(settingsPath_, Bounds(), actions_->PortToKeep()))
        std::fprintf(stderr, "kt-flash: cannot write the settings file %s\n", settingsPath_.c_str());
    return true;
}

bool TMainForm::FormKeyPress(WPARAM key)
{
    if (key == VK_ESCAPE)
        return actions_->StopKey();
    if (key == 'S' && (GetKeyState(VK_CONTROL) & 0x8000) != 0) {
        SaveLogClick();
        return true;
    }
    if (!session_->InOperation() && key == VK_RETURN && ToolButtonEnabled(kt::ToolButton::FullFlash)) {
        RunOperation(&kt::DeviceSession::ToolFullFlashClick);  // Enter starts the update, as its button does
        return true;
    }
    return false;
}

void TMainForm::ToolClick(int id)
{
    // A click reaches only an enabled, visible button.
    if (SendMessageW(ToolBar1, TB_ISBUTTONENABLED, static_cast<WPARAM>(id), 0) == 0 ||
        SendMessageW(ToolBar1, TB_ISBUTTONHIDDEN, static_cast<WPARAM>(id), 0) != 0)
        return;
    switch (id) {
    case kToolOpen:
        ToolOpenClick();
        break;
    case kToolInfo:
        RunOperation(&kt::DeviceSession::ToolInfoClick);
        break;
    case kToolTime:
        RunOperation(&kt::DeviceSession::ToolTimeClick);
        break;
    case kToolFullFlash:
        RunOperation(&kt::DeviceSession::ToolFullFlashClick);
        break;
    default:
        break;
    }
}

void TMainForm::RunOperation(bool (kt::DeviceSession::*operation)())
{
    actions_->Run(operation);
    SetStatusText(kStatusTotal, {});
}

void TMainForm::PortTried(const kt::PortAttempt& attempt)
{
    actions_->PortTried(attempt);
    SetStatusText(kStatusStep, ToWide(kt::DescribePortAttempt(attempt)));
}

void TMainForm::TransferProgress(const Transfer& transfer)
{
    SetStatusText(kStatusTotal, ToWide(kt::UpdateStatusText(transfer, session_->PackageInUse())));
}

void TMainForm::ShowProgramError(const std::exception_ptr& error)
{
    actions_->ShowProgramError(error);
}

void TMainForm::UseSimulatedDevice(const std::string& port, kt::serial::SerialDeviceFactory device)
{
    actions_->UseSimulatedDevice(Comm1, port, std::move(device));
    SetStatusText(kStatusDevice, ToWide(kSimulatedDevice + port));
}

void TMainForm::AddLog(std::string_view line)
{
    // One call, one line, whatever a device put into its reply.
    std::wstring text = ToWide(line);
    std::replace(text.begin(), text.end(), L'\r', L'\x240D');
    std::replace(text.begin(), text.end(), L'\n', L'\x240A');
    // A line in the first column heads a step; the status bar names it.
    if (!text.empty() && std::iswspace(text.front()) == 0)
        SetStatusText(kStatusStep, text);
    logTimes_.push_back(std::chrono::system_clock::now());
    const int length = GetWindowTextLengthW(Memo);
    if (length > 0)
        text.insert(0, L"\r\n");
    SendMessageW(Memo, EM_SETSEL, static_cast<WPARAM>(length), static_cast<LPARAM>(length));
    SendMessageW(Memo, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    // Shows the new line at the left edge, however long the one before.
    const LRESULT lines = SendMessageW(Memo, EM_GETLINECOUNT, 0, 0);
    const LRESULT start = SendMessageW(Memo, EM_LINEINDEX, static_cast<WPARAM>(lines - 1), 0);
    SendMessageW(Memo, EM_SETSEL, static_cast<WPARAM>(start), static_cast<LPARAM>(start));
    SendMessageW(Memo, EM_SCROLLCARET, 0, 0);
}

void TMainForm::ClearLog()
{
    SetWindowTextW(Memo, L"");
    logTimes_.clear();
    SetStatusText(kStatusStep, {});
}

void TMainForm::SetCaption(std::string_view caption)
{
    SetWindowTextW(hwnd_, ToWide(caption).c_str());
}

void TMainForm::SetUpdateEnabled(bool enabled)
{
    SetToolButtonEnabled(kt::ToolButton::FullFlash, enabled);
}

kt::ModalResult TMainForm::ShowDialog(std::string_view message, kt::DialogKind kind, kt::DialogButtons buttons)
{
    // The caption is the window's at this moment.
    const int length = GetWindowTextLengthW(hwnd_);
    std::wstring caption(static_cast<std::size_t>(length) + 1, L'\0');
    caption.resize(static_cast<std::size_t>(GetWindowTextW(hwnd_, caption.data(), length + 1)));
    // A search that found nothing tells each port's reason below the message.
    std::wstring detail;
    if (kind == kt::DialogKind::Error && !session_->InTransfer()) {
        const std::string ports = actions_->SearchDetail();
        if (!ports.empty() && session_->Report.stopReason == kt::StopReason::NoDevice)
            detail = ToWide(ports);
    }
    return kt::win32::ShowMessageDialog(hwnd_, caption, ToWide(message), kind, buttons, font_, detail);
}

bool TMainForm::OpenPackage(const std::string& fileName)
{
    return kt::OpenPackage(fileName, Package_, *this);
}

std::string TMainForm::PackageArgument(const std::vector<std::string>& arguments)
{
    return kt::FormActions::PackageArgument(arguments);
}

std::wstring TMainForm::FileDialog(bool save, const char* description, const wchar_t* pattern, const char* title,
                                   const std::string& name)
{
    // One filter entry: the description, then the pattern.
    const std::wstring filter = ToWide(description) + L'\0' + pattern + L'\0' + L'\0';
    const std::wstring caption = ToWide(title);
    const std::wstring folder = ToWide(openDialogDir_);
    std::vector<wchar_t> file(32768, L'\0');
    const std::wstring initial = ToWide(name);
    std::copy_n(initial.begin(), std::min(initial.size(), file.size() - 1), file.begin());

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = hwnd_;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
    dialog.lpstrTitle = caption.c_str();
    // A typed name need not exist; no read-only box; the dialog can be resized.
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
    if (save) {
        dialog.lpstrDefExt = L"txt";
        dialog.Flags |= OFN_OVERWRITEPROMPT;
    }
    if (!(save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog)))
        return {};
    return file.data();
}

std::string TMainForm::ExecOpenDialog()
{
    const std::wstring chosen = FileDialog(false, "Файлы прошивок ТЕЛВИКСа (*.kvf)", L"*.kvf",
                                           "Выбери файл с прошивкой для ТЕЛВИКСа", openDialogFile_);
    if (chosen.empty())
        return {};
    const std::filesystem::path path(chosen);
    openDialogDir_ = ToUtf8(path.parent_path().wstring());
    openDialogFile_ = ToUtf8(path.filename().wstring());
    return ToUtf8(path.wstring());
}

bool TMainForm::SaveLog(const std::string& path) const
{
    const int length = GetWindowTextLengthW(Memo);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(Memo, text.data(), length + 1)));
    std::vector<std::string> lines;
    // An empty log saves as an empty file; the log's lines end in CR LF.
    for (std::size_t start = 0; !text.empty() || !logTimes_.empty();) {
        const std::size_t end = text.find(L"\r\n", start);
        lines.push_back(ToUtf8(std::wstring_view(text).substr(start, end - start)));
        if (end == std::wstring::npos)
            break;
        start = end + 2;
    }
    const std::string out = kt::StampedLog(lines, logTimes_, std::chrono::system_clock::now());
    std::ofstream file(std::filesystem::path(ToWide(path)), std::ios::binary | std::ios::trunc);
    file.write(out.data(), static_cast<std::streamsize>(out.size()));
    file.flush();
    return static_cast<bool>(file);
}

std::string TMainForm::ExecSaveDialog()
{
    return ToUtf8(FileDialog(true, "Текстовые файлы (*.txt)", L"*.txt", "Сохранить журнал", "kt-flash-log.txt"));
}

void TMainForm::SaveLogClick()
{
    const std::string path = chooseSaveFile_ ? chooseSaveFile_(*this) : ExecSaveDialog();
    if (path.empty())
        return;
    if (!SaveLog(path))
        ShowDialog("Не удалось сохранить журнал в файл " + path, kt::DialogKind::Error, kt::DialogButtons::Ok);
}

void TMainForm::ToolOpenClick()
{
    if (session_->InOperation())
        return;  // a device search is under way
    const std::string chosen = chooseFile_ ? chooseFile_(*this) : ExecOpenDialog();
    if (chosen.empty())
        return;
    OpenPackage(chosen);
}
