// The one modal message dialog of the Windows window: an icon, the message,
// a detail under it when there is one, and OK or Yes and No, with the keys
// and results the core expects.
#pragma once

#include "view/FormView.h"

#include <windows.h>

#include <string>

namespace kt::win32 {

// Identifiers of the dialog's controls besides its buttons (IDOK, IDYES, IDNO).
inline constexpr int kDialogTextId = 1001;
inline constexpr int kDialogIconId = 1002;
inline constexpr int kDialogDetailId = 1003;
// The button captions.
inline constexpr const wchar_t* kOkCaption = L"OK";
inline constexpr const wchar_t* kYesCaption = L"&Yes";
inline constexpr const wchar_t* kNoCaption = L"&No";

// Shows `text` (lines separated by CR) modally over `owner`, centred on it,
// with `caption` as its title and the controls in `font`. Enter answers the
// default button (OK, Yes, or No for YesNoDefaultNo); Esc answers No, or OK
// when there is no No; closing it by its title bar answers Cancel, and so
// does a dialog that could not be shown. A `detail` (lines separated by LF)
// shows in a read-only box under the message, where it can be scrolled and
// copied; Enter and Esc keep their meaning there. Empty: no box.
ModalResult ShowMessageDialog(HWND owner, const std::wstring& caption, const std::wstring& text, DialogKind kind,
                              DialogButtons buttons, HFONT font, const std::wstring& detail = {});

}  // namespace kt::win32
