// The main window on Windows: toolbar, log and progress bar over the core
// operations, drawn with the system's own controls (W calls; UTF-8 inside,
// UTF-16 at the system's edge).
#pragma once

#include "device/DeviceSession.h"
#include "link/DeviceHost.h"
#include "package/Package.h"
#include "serial/SpComPort.h"
#include "shell/FormActions.h"
#include "shell/Settings.h"

#include <windows.h>

#include <commctrl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class TMainForm : public kt::DeviceHost, private kt::SettingsTarget {
public:
    // Asked when Esc is pressed while blocks are being written.
    static const char* const kStopTransferQuestion;

    // Outer size at 96 dots per inch; also the smallest the window may get.
    // The status bar goes below the design: the window is that much taller.
    static constexpr int kDesignWidth = 422;
    static constexpr int kDesignHeight = 323;

    // Control and toolbar command identifiers.
    enum Id : int {
        kToolOpen = 101,
        kToolInfo,
        kToolTime,
        kToolFullFlash,
        kToolButton1,  // the separators
        kToolButton4,
        kToolButton2,
        kToolBar1 = 201,
        kBevel1,
        kGroupBox1,
        kMemo,
        kProgress,
        kStatusBar,
        kSaveLogCommand = 301,  // Ctrl+S: the log saved to a file
    };

    // The status bar's parts: the step under way (or the port just tried),
    // the whole update's progress while blocks are written, and the
    // simulated device when one stands in. A part with no text has no width.
    enum StatusPart : int { kStatusStep, kStatusTotal, kStatusDevice, kStatusPartCount };

    static constexpr const wchar_t* kWindowClass = L"KtFlashMainForm";

    // `settingsPath`: the settings file; by default the DefaultSettingsPath of
    // the running executable. Creates the window, hidden.
    explicit TMainForm(std::optional<std::string> settingsPath = std::nullopt);
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Shows the window; the first showing centres it on the desktop.
    void Show();
    // Runs the window's message loop until the window is gone; the exit code.
    int Run();

    // FormView: what the core operations show.
    void AddLog(std::string_view line) override;
    void ClearLog() override;
    void SetCaption(std::string_view caption) override;
    void SetUpdateEnabled(bool enabled) override;
    kt::ProgressBar& Progress() override { return progress_; }
    kt::ModalResult ShowDialog(std::string_view message, kt::DialogKind kind, kt::DialogButtons buttons) override;

    // DeviceHost: the main loop, pauses, the toolbar, the clock, the port list.
    void ProcessEvents(Clock::time_point deadline) override;
    void Pause(std::chrono::milliseconds duration) override;
    bool ToolButtonEnabled(kt::ToolButton button) const override;
    void SetToolButtonEnabled(kt::ToolButton button, bool enabled) override;
    std::tm LocalTime() override;
    std::vector<std::string> SystemPorts() override;
    // Each port tried shows in the status bar, and the error dialog of a
    // search that found nothing lists them all with their reasons.
    void PortTried(const kt::PortAttempt& attempt) override;
    // The whole update's share done, speed and time left, in the status bar.
    void TransferProgress(const Transfer& transfer) override;

    bool OpenPackage(const std::string& fileName);

    // The package named on the command line (program name first): the first
    // argument that is not an option; options start with "--". Empty if none.
    static std::string PackageArgument(const std::vector<std::string>& arguments);

    // Picks the package file to open; the default shows the open dialog.
    // Returns an empty string when the user cancels. Tests replace it.
    using FileChooser = std::function<std::string(TMainForm&)>;
    void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
    // Picks the file the log is saved to (Ctrl+S); the default shows the save dialog.
    void SetSaveFileChooser(FileChooser chooser) { chooseSaveFile_ = std::move(chooser); }

    // Writes the log to `path` in UTF-8, each line after the local date and
    // time it was added; false when the file cannot be written.
    bool SaveLog(const std::string& path) const;
    // Ctrl+S: asks where, saves, and says so when the file cannot be written.
    void SaveLogClick();

    // Runs the device operations against a simulated device, which the port
    // reaches through `device` by the name `port`, instead of the system's
    // ports; the remembered port is left as it was.
    void UseSimulatedDevice(const std::string& port, kt::serial::SerialDeviceFactory device);

    HWND Handle() const { return hwnd_; }
    const std::string& SettingsPath() const { return settingsPath_; }
    const kt::KVF_TYPE& Package() const { return Package_; }
    kt::DeviceSession& Session() { return *session_; }
    kt::serial::TSpComPort Comm1;

    HWND ToolBar1 = nullptr;
    HWND Bevel1 = nullptr;
    HWND GroupBox1 = nullptr;
    HWND Memo = nullptr;
    HWND ProgressBar = nullptr;
    HWND StatusBar = nullptr;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK SyncWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);

    void CreateControls();
    void LayoutControls();
    // The status bar's height as it sizes itself; the window is designed without it.
    int StatusHeight() const;
    void SetStatusText(StatusPart part, std::wstring text);
    // Sizes the parts: the step's takes what the others leave.
    void LayoutStatusParts();
    void FormCreate();
    // Dispatches one message; the window sees key presses before its controls.
    void Dispatch(MSG& message);
    // Enter starts the update while its button is enabled; Esc stops a running operation.
    // True when the key was taken.
    bool FormKeyPress(WPARAM key);
    bool FormCloseQuery();
    void ToolClick(int id);
    void ToolOpenClick();
    // The system's open or save dialog, starting in the open dialog's folder
    // with `name` typed in; the chosen path, or nothing when cancelled.
    std::wstring FileDialog(bool save, const char* description, const wchar_t* pattern, const char* title,
                            const std::string& name);
    std::string ExecOpenDialog();
    std::string ExecSaveDialog();
    // Runs a device operation of a toolbar button; what escapes it is shown as a program error.
    void RunOperation(bool (kt::DeviceSession::*operation)());
    // Ends the running operation and shows the error in an error dialog.
    void ShowProgramError(const std::exception_ptr& error);
    int Scaled(int pixels) const;

    // SettingsTarget: what reading the settings applies.
    kt::WindowBounds Bounds() const override;
    void SetBounds(const kt::WindowBounds& bounds) override;
    int Baud() const override { return Comm1.BaudRate(); }
    void SetBaud(int baud) override { Comm1.SetBaudRate(baud); }
    void SetPortName(const std::string& port) override { session_->PortName = port; }
    void SetOpenDialog(const std::string& folder, const std::string& fileName) override;
    std::string ExecutableFolder() const override;
    void SetRecordFile(const std::string& path) override;

    HWND hwnd_ = nullptr;
    // A message-only window: worker threads post to it when the main thread
    // has a hand-over to serve.
    HWND syncWindow_ = nullptr;
    std::shared_ptr<std::atomic<bool>> servePosted_ = std::make_shared<std::atomic<bool>>(false);
    HFONT font_ = nullptr;
    HIMAGELIST images_ = nullptr;
    HICON iconBig_ = nullptr;
    HICON iconSmall_ = nullptr;
    int dpi_ = 96;
    kt::KVF_TYPE Package_;
    kt::ProgressBar progress_;
    std::array<std::wstring, kStatusPartCount> statusTexts_;
    // The update's part keeps the widest its figures got, so that it does not
    // shift with each block; it starts again when the part is cleared.
    int statusTotalWidth_ = 0;
    FileChooser chooseFile_;
    FileChooser chooseSaveFile_;
    // When each line of the log was added, for the saved log.
    std::vector<std::chrono::system_clock::time_point> logTimes_;
    // The open dialog keeps its folder and file name from one use to the next.
    std::string openDialogDir_;
    std::string openDialogFile_;
    std::string settingsPath_;
    std::unique_ptr<kt::DeviceSession> session_;
    std::unique_ptr<kt::FormActions> actions_;
    bool shown_ = false;
    // WM_QUIT seen inside an operation's wait, kept for the outer loop.
    std::optional<int> quitCode_;
};
