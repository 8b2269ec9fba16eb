#include "MessageDialog.h"

#include <commctrl.h>

#include <algorithm>
#include <vector>

namespace kt::win32 {
namespace {

struct DialogState {
    const std::wstring* text;
    DialogKind kind;
    DialogButtons buttons;
    HFONT font;
    HWND owner;
    const std::wstring* caption;
    const std::wstring* detail;  // empty: no detail box
};

// Distances at 96 dots per inch.
constexpr int kMargin = 12;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr int kButtonGap = 6;
constexpr int kWidestText = 480;
// Spare width of the message beside what it measures.
constexpr int kTextSlack = 4;
// The detail box shows this many lines, and scrolls for more.
constexpr int kDetailLines = 8;
// Between the detail box's edge and its text.
constexpr int kDetailInset = 4;

// EndDialog's value: the result plus one, so that 0 and -1 (a dialog that
// failed) mean no answer.
INT_PTR Encode(ModalResult result)
{
    return static_cast<INT_PTR>(result) + 1;
}

ModalResult Decode(INT_PTR value)
{
    switch (value) {
    case 1 + static_cast<INT_PTR>(ModalResult::Ok):
        return ModalResult::Ok;
    case 1 + static_cast<INT_PTR>(ModalResult::Yes):
        return ModalResult::Yes;
    case 1 + static_cast<INT_PTR>(ModalResult::No):
        return ModalResult::No;
    default:
        return ModalResult::Cancel;
    }
}

int Scale(int pixels, int dpi)
{
    return MulDiv(pixels, dpi, 96);
}

HWND AddControl(HWND dialog, const wchar_t* windowClass, const wchar_t* text, DWORD style, int id, HFONT font,
                DWORD exStyle = 0)
{
    HWND control = CreateWindowExW(exStyle, windowClass, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, dialog,
                                   reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                   reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(dialog, GWLP_HINSTANCE)), nullptr);
    if (control != nullptr && font != nullptr)
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

// The detail box leaves Enter, Esc and Tab to the dialog: they answer or
// move on as they do on the buttons. A multi-line edit would take them all.
LRESULT CALLBACK KeepDialogKeys(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR)
{
    if (message == WM_GETDLGCODE)
        return DefSubclassProc(edit, message, wParam, lParam) & ~(DLGC_WANTALLKEYS | DLGC_WANTMESSAGE | DLGC_WANTTAB);
    if (message == WM_NCDESTROY)
        RemoveWindowSubclass(edit, KeepDialogKeys, id);
    return DefSubclassProc(edit, message, wParam, lParam);
}

void Build(HWND dialog, const DialogState& s)
{
    SetWindowTextW(dialog, s.caption->c_str());
    HDC dc = GetDC(dialog);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
    HGDIOBJ old = s.font != nullptr ? SelectObject(dc, s.font) : nullptr;
    const UINT format = DT_CALCRECT | DT_NOPREFIX | DT_EXPANDTABS;
    RECT text{0, 0, 0, 0};
    DrawTextW(dc, s.text->c_str(), static_cast<int>(s.text->size()), &text, format);
    if (text.right > Scale(kWidestText, dpi)) {
        text = {0, 0, Scale(kWidestText, dpi), 0};
        DrawTextW(dc, s.text->c_str(), static_cast<int>(s.text->size()), &text, format | DT_WORDBREAK);
    }
    RECT detail{0, 0, 0, 0};
    int lineHeight = 0;
    if (!s.detail->empty()) {
        TEXTMETRICW metrics{};
        GetTextMetricsW(dc, &metrics);
        lineHeight = static_cast<int>(metrics.tmHeight);
        DrawTextW(dc, s.detail->c_str(), static_cast<int>(s.detail->size()), &detail, format);
        if (detail.right > Scale(kWidestText, dpi)) {
            detail = {0, 0, Scale(kWidestText, dpi), 0};
            DrawTextW(dc, s.detail->c_str(), static_cast<int>(s.detail->size()), &detail, format | DT_WORDBREAK);
        }
    }
    std::vector<std::pair<int, const wchar_t*>> buttons;
    if (s.buttons == DialogButtons::Ok)
        buttons = {{IDOK, kOkCaption}};
    else
        buttons = {{IDYES, kYesCaption}, {IDNO, kNoCaption}};
    int buttonWidth = Scale(kButtonWidth, dpi);
    for (const auto& [id, caption] : buttons) {
        RECT r{0, 0, 0, 0};
        DrawTextW(dc, caption, -1, &r, DT_CALCRECT | DT_SINGLELINE);
        buttonWidth = std::max<int>(buttonWidth, r.right + Scale(16, dpi));
    }
    if (old != nullptr)
        SelectObject(dc, old);
    ReleaseDC(dialog, dc);

    const int margin = Scale(kMargin, dpi);
    const int iconSide = GetSystemMetrics(SM_CXICON);
    const int buttonHeight = Scale(kButtonHeight, dpi);
    const int gap = Scale(kButtonGap, dpi);
    const int textLeft = margin + iconSide + margin;
    // The text control draws as DrawText measured, but a line exactly as wide
    // as the control loses its last character to rounding: a few pixels spare.
    const int textWidth = static_cast<int>(text.right) + Scale(kTextSlack, dpi);
    const int textHeight = static_cast<int>(text.bottom);
    const int bodyHeight = std::max(iconSide, textHeight);
    const int buttonsWidth =
        static_cast<int>(buttons.size()) * buttonWidth + static_cast<int>(buttons.size() - 1) * gap;
    // The detail box: its text, the inset on each side (and one more to
    // spare), the sunken edge and a scroll bar when it scrolls.
    const bool detailScrolls = detail.bottom > kDetailLines * lineHeight;
    const int inset = Scale(kDetailInset, dpi);
    const int detailWidth = s.detail->empty()
                                ? 0
                                : static_cast<int>(detail.right) + 2 * inset + 2 * GetSystemMetrics(SM_CXEDGE) + inset +
                                      (detailScrolls ? GetSystemMetrics(SM_CXVSCROLL) : 0);
    const int detailHeight = s.detail->empty() ? 0
                                               : std::min<int>(detail.bottom, kDetailLines * lineHeight) +
                                                     2 * GetSystemMetrics(SM_CYEDGE) + inset;
    const int clientWidth =
        std::max({textLeft + textWidth + margin, buttonsWidth + 2 * margin, detailWidth + 2 * margin});
    const int detailBlock = s.detail->empty() ? 0 : detailHeight + margin;
    const int clientHeight = margin + bodyHeight + margin + detailBlock + buttonHeight + margin;

    const LPCWSTR icon = s.kind == DialogKind::Error         ? IDI_ERROR
                         : s.kind == DialogKind::Information ? IDI_INFORMATION
                                                             : IDI_QUESTION;
    HWND iconControl = AddControl(dialog, L"STATIC", nullptr, SS_ICON, kDialogIconId, nullptr);
    SendMessageW(iconControl, STM_SETICON, reinterpret_cast<WPARAM>(LoadIconW(nullptr, icon)), 0);
    SetWindowPos(iconControl, nullptr, margin, margin, iconSide, iconSide, SWP_NOZORDER);
    HWND textControl = AddControl(dialog, L"STATIC", s.text->c_str(), SS_LEFT | SS_NOPREFIX, kDialogTextId, s.font);
    SetWindowPos(textControl, nullptr, textLeft, margin + (bodyHeight - textHeight) / 2, textWidth, textHeight,
                 SWP_NOZORDER);
    if (!s.detail->empty()) {
        // Made before the buttons, so that Tab goes from it to them; the focus starts on a button.
        const DWORD style = WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL | (detailScrolls ? WS_VSCROLL : 0);
        HWND box = AddControl(dialog, L"EDIT", s.detail->c_str(), style, kDialogDetailId, s.font, WS_EX_CLIENTEDGE);
        SendMessageW(box, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(inset, inset));
        SetWindowSubclass(box, KeepDialogKeys, 0, 0);
        SetWindowPos(box, nullptr, margin, margin + bodyHeight + margin, clientWidth - 2 * margin, detailHeight,
                     SWP_NOZORDER);
    }

    const int defaultId = s.buttons == DialogButtons::Ok               ? IDOK
                          : s.buttons == DialogButtons::YesNoDefaultNo ? IDNO
                                                                       : IDYES;
    int x = (clientWidth - buttonsWidth) / 2;
    HWND focus = nullptr;
    for (const auto& [id, caption] : buttons) {
        const DWORD style = WS_TABSTOP | (id == defaultId ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
        HWND button = AddControl(dialog, L"BUTTON", caption, style, id, s.font);
        SetWindowPos(button, nullptr, x, clientHeight - margin - buttonHeight, buttonWidth, buttonHeight, SWP_NOZORDER);
        x += buttonWidth + gap;
        if (id == defaultId)
            focus = button;
    }
    SendMessageW(dialog, DM_SETDEFID, static_cast<WPARAM>(defaultId), 0);

    // The outer size for that client area, centred on the owner and kept on its screen.
    RECT outer{0, 0, clientWidth, clientHeight};
    AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(dialog, GWL_EXSTYLE)));
    const int width = outer.right - outer.left;
    const int height = outer.bottom - outer.top;
    RECT around{};
    if (s.owner == nullptr || !GetWindowRect(s.owner, &around))
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &around, 0);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromRect(&around, MONITOR_DEFAULTTONEAREST), &monitor);
    const RECT& work = monitor.rcWork;
    int left = around.left + (around.right - around.left - width) / 2;
    int top = around.top + (around.bottom - around.top - height) / 2;
    left = std::max<int>(work.left, std::min<int>(left, work.right - width));
    top = std::max<int>(work.top, std::min<int>(top, work.bottom - height));
    SetWindowPos(dialog, nullptr, left, top, width, height, SWP_NOZORDER);
    SetFocus(focus);
    // Made and placed, the detail box shows its last lines: it opens at its first.
    if (HWND box = GetDlgItem(dialog, kDialogDetailId)) {
        SendMessageW(box, EM_SETSEL, 0, 0);
        SendMessageW(box, EM_SCROLLCARET, 0, 0);
    }
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        Build(dialog, *reinterpret_cast<const DialogState*>(lParam));
        return FALSE;  // the focus is set
    }
    case WM_COMMAND: {
        if (HIWORD(wParam) != BN_CLICKED)
            return FALSE;
        const auto* s = reinterpret_cast<const DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
        switch (LOWORD(wParam)) {
        case IDOK:
            EndDialog(dialog, Encode(ModalResult::Ok));
            return TRUE;
        case IDYES:
            EndDialog(dialog, Encode(ModalResult::Yes));
            return TRUE;
        case IDNO:
            EndDialog(dialog, Encode(ModalResult::No));
            return TRUE;
        case IDCANCEL:  // Esc: the dialog's cancel button
            EndDialog(dialog, Encode(s->buttons == DialogButtons::Ok ? ModalResult::Ok : ModalResult::No));
            return TRUE;
        default:
            return FALSE;
        }
    }
    case WM_CLOSE:  // the title bar's close button or Alt+F4
        EndDialog(dialog, Encode(ModalResult::Cancel));
        return TRUE;
    default:
        return FALSE;
    }
}

// `text` as the controls show it: each `lineEnd` becomes CR LF, and the
// other of CR and LF is dropped.
std::wstring WithLineBreaks(const std::wstring& text, wchar_t lineEnd)
{
    std::wstring out;
    out.reserve(text.size() + 8);
    for (wchar_t c : text) {
        if (c == lineEnd)
            out += L"\r\n";
        else if (c != L'\r' && c != L'\n')
            out += c;
    }
    return out;
}

}  // namespace

ModalResult ShowMessageDialog(HWND owner, const std::wstring& caption, const std::wstring& text, DialogKind kind,
                              DialogButtons buttons, HFONT font, const std::wstring& detail)
{
    // An empty template: the controls are made and placed when it starts.
    struct alignas(DWORD) Template {
        DLGTEMPLATE dialog;
        WORD menu;
        WORD windowClass;
        WORD title;
    } tpl{};
    tpl.dialog.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME;
    tpl.dialog.dwExtendedStyle = WS_EX_DLGMODALFRAME;
    const std::wstring shown = WithLineBreaks(text, L'\r');
    const std::wstring shownDetail = WithLineBreaks(detail, L'\n');
    const DialogState state{&shown, kind, buttons, font, owner, &caption, &shownDetail};
    const UINT sound = kind == DialogKind::Error         ? MB_ICONHAND
                       : kind == DialogKind::Information ? MB_ICONASTERISK
                                                         : MB_ICONQUESTION;
    MessageBeep(sound);
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), &tpl.dialog, owner, DialogProc,
                                                   reinterpret_cast<LPARAM>(&state));
    return Decode(result);
}

}  // namespace kt::win32
