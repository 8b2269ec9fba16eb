// The main window: toolbar, log and progress bar over the core operations.
#pragma once

#include "package/FormView.h"
#include "package/Package.h"

#include <QMainWindow>

#include <array>
#include <functional>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QGroupBox;
class QToolBar;
class QAction;
class QFrame;

class TMainForm : public QMainWindow, public kt::FormView {
    Q_OBJECT

public:
    // Outer size at 96 dots per inch; also the smallest the window may get.
    static constexpr int kDesignWidth = 422;
    static constexpr int kDesignHeight = 323;

    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // FormView: what the core operations show.
    void AddLog(std::string_view line) override;
    void ClearLog() override;
    void SetCaption(std::string_view caption) override;
    void SetUpdateEnabled(bool enabled) override;
    kt::ProgressBar& Progress() override { return progress_; }
    kt::ModalResult ShowDialog(std::string_view message, kt::DialogKind kind, kt::DialogButtons buttons) override;

    bool OpenPackage(const std::string& fileName);

    // The package named on the command line (program name first): the first
    // argument that is not an option; options start with "--". Empty if none.
    static std::string PackageArgument(const QStringList& arguments);

    // Picks the package file to open; the default shows the open dialog.
    // Returns an empty string when the user cancels. Tests replace it.
    using FileChooser = std::function<QString(TMainForm&)>;
    void SetFileChooser(FileChooser chooser) { chooseFile_ = std::move(chooser); }

    const kt::KVF_TYPE& Package() const { return Package_; }

    QAction* ToolOpen = nullptr;
    QAction* ToolInfo = nullptr;
    QAction* ToolTime = nullptr;
    QAction* ToolFullFlash = nullptr;
    QAction* ToolButton4 = nullptr;  // the separator before ToolInfo, hidden at design
    QPlainTextEdit* Memo = nullptr;
    QProgressBar* ProgressBar = nullptr;
    QGroupBox* GroupBox1 = nullptr;

public slots:
    void ToolOpenClick();

private:
    void FormCreate();
    QString ExecOpenDialog();

    kt::KVF_TYPE Package_;
    std::array<QAction*, 4> ToolButtons{};
    kt::ProgressBar progress_;
    FileChooser chooseFile_;
    // The open dialog keeps its folder and file name from one use to the next.
    QString openDialogDir_;
    QString openDialogFile_;
};
