// The main window: toolbar, log and progress bar over the core operations.
#pragma once

#include "link/DeviceHost.h"
#include "device/DeviceSession.h"
#include "shell/FormActions.h"
#include "shell/Settings.h"
#include "package/Package.h"
#include "serial/SpComPort.h"

#include <QMainWindow>

#include <array>
#include <chrono>
#include <vector>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QGroupBox;
class QToolBar;
class QAction;
class QFrame;

class TMainForm : public QMainWindow, public kt::DeviceHost, private kt::SettingsTarget {
    Q_OBJECT

public:
    // Asked when Esc is pressed while blocks are being written.
    static const char* const kStopTransferQuestion;

    // Outer size at 96 dots per inch; also the smallest the window may get.
    static constexpr int kDesignWidth = 422;
    static constexpr int kDesignHeight = 323;

    // `settingsPath`: the settings file; by default beside the executable, or in
    // the user's configuration folder when that cannot be written (DefaultSettingsPath).
    explicit TMainForm(std::optional<std::string> settingsPath = std::nullopt, QWidget* parent = nullptr);
    ~TMainForm() override;

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
    // Each port tried shows in the status line, and the error dialog of a
    // search that found nothing lists them all with their reasons.
    void PortTried(const kt::PortAttempt& attempt) override;
    // The whole update's share done, speed and time left, in the status line.
    void TransferProgress(const Transfer& transfer) override;

    bool OpenPackage(const std::string& fileName);

    // The package named on the command line (program name first): the first
    // argument that is not an option; options start with "--". Empty if none.
    static std::string PackageArgument(const QStringList& arguments);

    // Picks the package file to open; the default shows the open dialog.
    // Returns an empty string when the user cancels. Tests replace it.
    using FileChooser = std::function<QString(TMainForm&)>;
    void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }
    // Picks the file "Save log" writes; the default shows the save dialog.
    void SetSaveChooser(FileChooser chooser) { chooseSaveFile_ = std::move(chooser); }

    // Writes the log to `path` in UTF-8, each line after the local date and
    // time it was added ("2026-12-11 09:41:07.250  "). False when the file
    // cannot be written.
    bool SaveLog(const QString& path) const;
    // Where the open dialog starts and the name it shows.
    QString OpenDialogFolder() const { return openDialogDir_; }
    QString OpenDialogFile() const { return openDialogFile_; }

    const kt::KVF_TYPE& Package() const { return Package_; }
    kt::DeviceSession& Session() { return *session_; }
    kt::serial::TSpComPort Comm1;

    QAction* ToolOpen = nullptr;
    QAction* ToolInfo = nullptr;
    QAction* ToolTime = nullptr;
    QAction* ToolFullFlash = nullptr;
    QAction* ToolButton4 = nullptr;    // the separator before ToolInfo, hidden at design
    QAction* SaveLogAction = nullptr;  // "Save log…": the log's context menu and Ctrl+S
    QLabel* StatusStep = nullptr;      // the step under way: the log's last heading
    QLabel* StatusDevice = nullptr;    // a simulated device, when one stands in
    QLabel* StatusTotal = nullptr;     // the whole update's progress while blocks are written
    QPlainTextEdit* Memo = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QGroupBox* GroupBox1 = nullptr;

public slots:
    void SaveLogClick();
    void ToolOpenClick();
    void ToolInfoClick();
    void ToolTimeClick();
    void ToolFullFlashClick();

public:
    // Runs the device operations against a simulated device, which the port
    // reaches through `device` by the name `port`, instead of the system's
    // ports; the remembered port is left as it was.
    void UseSimulatedDevice(const std::string& port, kt::serial::SerialDeviceFactory device);

protected:
    // Refused silently while an operation holds the device; otherwise the
    // device link is closed and the settings are written.
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // Sees key presses before the focused control: Esc asks a running operation to stop.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    // Enter starts the update while its button is enabled; Esc stops a running operation.
    // True when the key was taken.
    bool FormKeyPress(int key);
    QString ExecOpenDialog();
    // Runs a device operation of a toolbar button; what escapes it is shown as a program error.
    void RunOperation(bool (kt::DeviceSession::*operation)());
    // Ends the running operation and shows the error in an error dialog.
    void ShowProgramError(const std::exception_ptr& error);

    // SettingsTarget: what reading the settings applies.
    kt::WindowBounds Bounds() const override;
    void SetBounds(const kt::WindowBounds& bounds) override;
    int Baud() const override { return Comm1.BaudRate(); }
    void SetBaud(int baud) override { Comm1.SetBaudRate(baud); }
    void SetPortName(const std::string& port) override { session_->PortName = port; }
    void SetOpenDialog(const std::string& folder, const std::string& fileName) override;
    std::string ExecutableFolder() const override;
    void SetRecordFile(const std::string& path) override;

    kt::KVF_TYPE Package_;
    std::array<QAction*, 4> ToolButtons{};
    kt::ProgressBar progress_;
    FileChooser chooseFile_;
    FileChooser chooseSaveFile_;
    // When each line of the log was added, for the saved log.
    std::vector<std::chrono::system_clock::time_point> logTimes_;
    // The open dialog keeps its folder and file name from one use to the next.
    QString openDialogDir_;
    QString openDialogFile_;
    std::string settingsPath_;
    std::unique_ptr<kt::DeviceSession> session_;
    std::unique_ptr<kt::FormActions> actions_;
    bool shown_ = false;
};
