// Drives the Windows window from a second thread as a user would, with
// window messages only: toolbar clicks, keys, reading the log, the caption
// and the dialogs, answering the dialogs, closing the window. The window's
// own thread runs its message loop meanwhile.
#pragma once

#include "TMainForm.h"

#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kt::test {

using namespace std::chrono_literals;

// A message dialog as it shows.
struct ShownDialog {
    HWND hwnd = nullptr;
    std::string caption;
    std::string text;    // lines joined with '\n'
    std::string detail;  // the detail box's lines joined with '\n'; empty when it has none
    std::vector<std::string> buttons;
    int defaultId = 0;  // IDOK, IDYES or IDNO
    HICON icon = nullptr;
};

class WindowDriver {
public:
    explicit WindowDriver(TMainForm& form);

    // The log's lines; an empty log has none, a last empty line is "".
    std::vector<std::string> Log() const;
    bool LogContains(const std::string& line) const;
    std::string Caption() const;
    bool WindowExists() const;
    bool ButtonEnabled(int id) const;
    bool ButtonVisible(int id) const;
    std::string Hint(int id) const;
    int ProgressPosition() const;
    int ProgressMax() const;
    // The text of a part of the status bar.
    std::string StatusText(TMainForm::StatusPart part) const;
    // The control that has the keyboard focus in the window's thread.
    HWND Focus() const;

    // A click on a toolbar button, as the toolbar reports one.
    void Click(int id) const;
    // A key pressed in the log.
    void Key(WPARAM key) const;
    // The title bar's close button.
    void Close() const;

    // The message dialog shown over the window, once it shows; nothing when
    // `timeout` passes first.
    std::optional<ShownDialog> WaitDialog(std::chrono::milliseconds timeout = 30s) const;
    // Any dialog window the window shows (the open dialog among them), once it shows.
    std::optional<HWND> WaitOwnedDialog(std::chrono::milliseconds timeout = 30s) const;
    std::string TextOfWindow(HWND hwnd) const { return TextOf(hwnd); }

    // A key pressed in the dialog (on its focused button), then waits until it is gone.
    void Answer(const ShownDialog& dialog, WPARAM key) const;
    // A click on one of its buttons, then waits until it is gone.
    void Press(const ShownDialog& dialog, int buttonId) const;
    // The title bar's close button of the dialog, then waits until it is gone.
    void CloseDialog(const ShownDialog& dialog) const;

    // Polls `condition` until it holds; false when `timeout` passes first.
    static bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 30s);
    // Waits until no operation holds the toolbar (the open button enabled again).
    bool WaitIdle(std::chrono::milliseconds timeout = 60s) const;

    // Saves what the screen shows of the window as a 24-bit BMP.
    bool Screenshot(const std::string& path) const;

    // Ends the session however it stands: answers dialogs, stops an operation,
    // closes the window. True when the window went within `timeout`.
    bool Finish(std::chrono::milliseconds timeout = 60s) const;

    HWND Main() const { return main_; }

private:
    LRESULT Send(HWND hwnd, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    // A visible dialog window owned by the window; with `messageDialog`, only the message dialog.
    std::optional<HWND> FindDialog(bool messageDialog, std::chrono::milliseconds timeout) const;
    std::string TextOf(HWND hwnd) const;
    void WaitGone(HWND hwnd) const;

    HWND main_;
    HWND toolbar_;
    HWND memo_;
    HWND progress_;
    HWND status_;
    DWORD thread_;
};

// Shows `form` and runs its message loop on this thread while `script` drives
// it from a second thread; returns once the window is gone. A script that
// ends with the window still up (a failed assertion) has it closed for it.
void Drive(TMainForm& form, const std::function<void(WindowDriver&)>& script);

}  // namespace kt::test
