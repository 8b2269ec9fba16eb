#include "TMainForm.h"

#include "link/Protocol.h"

#include "platform/LocalClock.h"
#include "serial/PortList.h"
#include "serial/SpSafeSync.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QStatusBar>
#include <QGroupBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QToolBar>
#include <QVBoxLayout>

#include <cstdio>
#include <filesystem>
#include <utility>

const char* const TMainForm::kStopTransferQuestion = kt::FormActions::kStopTransferQuestion;

// The toolbar pictures live in a static library: register them explicitly.
static void InitToolbarImages()
{
    Q_INIT_RESOURCE(app);
}

namespace {

QString FromUtf8(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// A fixed gap between toolbar buttons.
QAction* AddGap(QToolBar* bar, int width)
{
    auto* gap = new QWidget(bar);
    gap->setFixedWidth(width);
    return bar->addWidget(gap);
}

}  // namespace

TMainForm::TMainForm(std::optional<std::string> settingsPath, QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                              Qt::WindowCloseButtonHint),
      settingsPath_(settingsPath ? *settingsPath
                                 : kt::DefaultSettingsPath(QCoreApplication::applicationFilePath().toStdString()))
{
    InitToolbarImages();
    // The serial port's events reach this thread through Qt's event loop.
    kt::serial::SetSyncMainThread();
    kt::serial::SetSyncWaker([] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { kt::serial::ServeSyncCalls(); }, Qt::QueuedConnection);
    });
    kt::DeviceSession::ConfigurePort(Comm1);
    session_ = std::make_unique<kt::DeviceSession>(Comm1, *this, Package_);
    actions_ = std::make_unique<kt::FormActions>(*session_, *this);
    // Errors of the port's event handlers and worker threads end the running
    // operation and are shown in an error dialog.
    kt::serial::SetSyncExceptionHandler([this](std::exception_ptr error) { ShowProgramError(error); });

    setObjectName("MainForm");
    setWindowTitle(kt::kDesignCaption);
    // The program's icon is the update button's lightning bolt, as on Windows.
    setWindowIcon(QIcon(":/toolbar/flash.xpm"));
    setFont(QFont("MS Sans Serif", 8));
    resize(kDesignWidth, kDesignHeight);

    auto* bar = new QToolBar("ToolBar1", this);
    bar->setObjectName("ToolBar1");
    bar->setMovable(false);
    bar->setFloatable(false);
    bar->setIconSize(QSize(16, 16));
    bar->setFixedHeight(29);
    bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    bar->toggleViewAction()->setEnabled(false);
    bar->setContextMenuPolicy(Qt::PreventContextMenu);
    addToolBar(Qt::TopToolBarArea, bar);

    auto button = [&](const char* name, const char* icon, const char* hint) {
        auto* action = bar->addAction(QIcon(QString(":/toolbar/") + icon), QString());
        action->setObjectName(name);
        action->setToolTip(QString::fromUtf8(hint));
        return action;
    };
    AddGap(bar, 8);  // ToolButton1
    ToolOpen = button("ToolOpen", "open.xpm", "Открыть файл обновления ТЕЛВИКСа");
    ToolButton4 = AddGap(bar, 10);
    ToolInfo = button("ToolInfo", "info.xpm", "Прочитать информацию о ТЕЛВИКСе");
    ToolTime = button("ToolTime", "clock.xpm", "Синхронизация времени");
    AddGap(bar, 8);  // ToolButton2
    ToolFullFlash = button("ToolFullFlash", "flash.xpm", "Начать обновлние ТЕЛВИКСа");
    ToolButton4->setVisible(false);
    ToolInfo->setVisible(false);
    ToolTime->setVisible(false);
    ToolFullFlash->setEnabled(false);
    // The keyboard reaches every button: a shortcut each (Enter stays the
    // update's), and Tab stops on the toolbar too.
    ToolOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    ToolInfo->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
    ToolTime->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    ToolFullFlash->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_U));
    for (QAction* action : {ToolOpen, ToolInfo, ToolTime, ToolFullFlash})
        if (QWidget* widget = bar->widgetForAction(action))
            widget->setFocusPolicy(Qt::TabFocus);
    connect(ToolOpen, &QAction::triggered, this, &TMainForm::ToolOpenClick);
    connect(ToolInfo, &QAction::triggered, this, &TMainForm::ToolInfoClick);
    connect(ToolTime, &QAction::triggered, this, &TMainForm::ToolTimeClick);
    connect(ToolFullFlash, &QAction::triggered, this, &TMainForm::ToolFullFlashClick);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    auto* bevel = new QFrame(central);
    bevel->setObjectName("Bevel1");
    bevel->setFrameShape(QFrame::HLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setFixedHeight(2);
    layout->addWidget(bevel);

    GroupBox1 = new QGroupBox(QString::fromUtf8(" Информация о прошивке "), central);
    GroupBox1->setObjectName("GroupBox1");
    auto* groupLayout = new QVBoxLayout(GroupBox1);
    Memo = new QPlainTextEdit(GroupBox1);
    Memo->setObjectName("Memo");
    Memo->setReadOnly(true);
    Memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Long lines stay whole: the log scrolls sideways to show them.
    Memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    SaveLogAction = new QAction(QString::fromUtf8("Сохранить журнал…"), this);
    SaveLogAction->setObjectName("SaveLog");
    SaveLogAction->setShortcut(QKeySequence::Save);
    SaveLogAction->setShortcutContext(Qt::WindowShortcut);
    addAction(SaveLogAction);
    connect(SaveLogAction, &QAction::triggered, this, &TMainForm::SaveLogClick);
    Memo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Memo, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        std::unique_ptr<QMenu> menu(Memo->createStandardContextMenu());
        menu->addSeparator();
        menu->addAction(SaveLogAction);
        menu->exec(Memo->viewport()->mapToGlobal(at));
    });
    groupLayout->addWidget(Memo);
    layout->addWidget(GroupBox1, 1);

    ProgressBar = new QProgressBar(central);
    ProgressBar->setObjectName("Progress");
    ProgressBar->setFixedHeight(22);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(true);  // the percentage
    ProgressBar->setAlignment(Qt::AlignCenter);
    layout->addWidget(ProgressBar);
    setCentralWidget(central);

    StatusStep = new QLabel(this);
    StatusStep->setObjectName("StatusStep");
    StatusDevice = new QLabel(this);
    StatusDevice->setObjectName("StatusDevice");
    StatusTotal = new QLabel(this);
    StatusTotal->setObjectName("StatusTotal");
    statusBar()->addWidget(StatusStep, 1);
    statusBar()->addPermanentWidget(StatusTotal);
    statusBar()->addPermanentWidget(StatusDevice);
    statusBar()->setSizeGripEnabled(true);

    progress_.OnChange([this](const kt::ProgressBar& p) {
        ProgressBar->setRange(p.Min(), p.Max());
        ProgressBar->setValue(p.Position());
    });

    qApp->installEventFilter(this);
    FormCreate();
}

TMainForm::~TMainForm()
{
    kt::serial::SetSyncExceptionHandler(nullptr);
    qApp->removeEventFilter(this);
    actions_.reset();
    session_.reset();
    Comm1.Close();
    kt::serial::SetSyncWaker(nullptr);
}

void TMainForm::FormCreate()
{
    session_->Busy = false;
    // The window can never be made smaller than designed.
    setMinimumSize(size());
    ToolButtons = {ToolOpen, ToolInfo, ToolTime, ToolFullFlash};
    try {
        kt::ReadSettings(settingsPath_, *this);
        ToolInfo->setVisible(true);
        ToolTime->setVisible(true);
        ToolButton4->setVisible(true);
    } catch (...) {
        // Whatever failed keeps its design value; the window opens all the same.
    }
}

kt::WindowBounds TMainForm::Bounds() const
{
    return {x(), y(), width(), height()};
}

void TMainForm::SetBounds(const kt::WindowBounds& b)
{
    move(b.left, b.top);
    resize(std::max(b.width, minimumWidth()), std::max(b.height, minimumHeight()));
}

void TMainForm::SetOpenDialog(const std::string& folder, const std::string& fileName)
{
    // A folder that is not there (the design's FLASH beside the program) would
    // start the dialog in its parent with its name typed in: the parent, then,
    // and no name; a name is shown only for a file that is there.
    QDir dir(QString::fromStdString(folder));
    while (!dir.exists() && dir.cdUp()) {
    }
    openDialogDir_ = dir.exists() ? dir.path() : QString();
    const QString file = QString::fromStdString(fileName);
    openDialogFile_ = !file.isEmpty() && dir.exists(file) ? file : QString();
}

std::string TMainForm::ExecutableFolder() const
{
    return QCoreApplication::applicationDirPath().toStdString();
}

void TMainForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    // The first showing centres the window on the desktop, whatever Left and Top said.
    if (const QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    if (session_->InOperation()) {
        event->ignore();
        return;
    }
    session_->DisconnectDevice();
    event->accept();
    // The window closes all the same; what could not be kept is said.
    if (!kt::WriteSettings(settingsPath_, Bounds(), actions_->PortToKeep()))
        std::fprintf(stderr, "kt-flash: cannot write the settings file %s\n", settingsPath_.c_str());
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    auto* widget = qobject_cast<QWidget*>(watched);
    if (event->type() != QEvent::KeyPress || widget == nullptr || widget->window() != this)
        return QMainWindow::eventFilter(watched, event);
    return FormKeyPress(static_cast<QKeyEvent*>(event)->key()) || QMainWindow::eventFilter(watched, event);
}

bool TMainForm::FormKeyPress(int key)
{
    if (key == Qt::Key_Escape)
        return actions_->StopKey();
    if (!session_->InOperation() && (key == Qt::Key_Return || key == Qt::Key_Enter) && ToolFullFlash->isEnabled()) {
        ToolFullFlashClick();  // Enter starts the update, as the update button does
        return true;
    }
    return false;
}

void TMainForm::ProcessEvents(Clock::time_point deadline)
{
    // A timer ends the wait at the deadline; received data, clicks and
    // repaints end it earlier.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(static_cast<int>(std::max<long long>(0, left)));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    kt::serial::ServeSyncCalls();
}

void TMainForm::Pause(std::chrono::milliseconds duration)
{
    QThread::msleep(static_cast<unsigned long>(duration.count()));
}

bool TMainForm::ToolButtonEnabled(kt::ToolButton button) const
{
    return ToolButtons[static_cast<std::size_t>(button)]->isEnabled();
}

void TMainForm::SetToolButtonEnabled(kt::ToolButton button, bool enabled)
{
    ToolButtons[static_cast<std::size_t>(button)]->setEnabled(enabled);
}

std::tm TMainForm::LocalTime()
{
    return kt::ReadLocalClock();
}

std::vector<std::string> TMainForm::SystemPorts()
{
    return kt::serial::GetSerialPortList();
}

void TMainForm::ToolInfoClick()
{
    RunOperation(&kt::DeviceSession::ToolInfoClick);
}

void TMainForm::ToolTimeClick()
{
    RunOperation(&kt::DeviceSession::ToolTimeClick);
}

void TMainForm::ToolFullFlashClick()
{
    RunOperation(&kt::DeviceSession::ToolFullFlashClick);
}

void TMainForm::RunOperation(bool (kt::DeviceSession::*operation)())
{
    actions_->Run(operation);
    StatusTotal->clear();
}

void TMainForm::PortTried(const kt::PortAttempt& attempt)
{
    actions_->PortTried(attempt);
    StatusStep->setText(FromUtf8(kt::DescribePortAttempt(attempt)));
}

void TMainForm::TransferProgress(const Transfer& transfer)
{
    StatusTotal->setText(FromUtf8(kt::UpdateStatusText(transfer, session_->PackageInUse())));
}

void TMainForm::SetRecordFile(const std::string& path)
{
    actions_->SetRecordFile(path);
}

void TMainForm::ShowProgramError(const std::exception_ptr& error)
{
    actions_->ShowProgramError(error);
}

void TMainForm::UseSimulatedDevice(const std::string& port, kt::serial::SerialDeviceFactory device)
{
    actions_->UseSimulatedDevice(Comm1, port, std::move(device));
    StatusDevice->setText(QString::fromUtf8("Имитация ТЕЛВИКСа на порту ") + FromUtf8(port));
}

void TMainForm::AddLog(std::string_view line)
{
    // One call, one line, whatever a device put into its reply.
    QString text = FromUtf8(line);
    text.replace(QChar('\r'), QChar(0x240D)).replace(QChar('\n'), QChar(0x240A));
    Memo->appendPlainText(text);
    logTimes_.push_back(std::chrono::system_clock::now());
    // A line in the first column heads a step; the status line names it.
    if (!text.isEmpty() && !text.front().isSpace())
        StatusStep->setText(text);
    Memo->verticalScrollBar()->setValue(Memo->verticalScrollBar()->maximum());
}

void TMainForm::ClearLog()
{
    Memo->clear();
    logTimes_.clear();
    StatusStep->clear();
}

bool TMainForm::SaveLog(const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    std::vector<std::string> lines;
    // An empty log saves as an empty file.
    if (!(Memo->toPlainText().isEmpty() && logTimes_.empty()))
        for (const QString& line : Memo->toPlainText().split('\n'))
            lines.push_back(line.toStdString());
    const std::string out = kt::StampedLog(lines, logTimes_, std::chrono::system_clock::now());
    return file.write(out.data(), static_cast<qint64>(out.size())) == static_cast<qint64>(out.size()) && file.flush();
}

void TMainForm::SaveLogClick()
{
    QString path;
    if (chooseSaveFile_) {
        path = chooseSaveFile_(*this);
    } else {
        const QString folder = openDialogDir_.isEmpty() ? QDir::homePath() : openDialogDir_;
        path = QFileDialog::getSaveFileName(this, QString::fromUtf8("Сохранить журнал"),
                                            QDir(folder).filePath("kt-flash-log.txt"),
                                            QString::fromUtf8("Текстовые файлы (*.txt)"));
    }
    if (path.isEmpty())
        return;
    if (!SaveLog(path))
        ShowDialog(("Не удалось сохранить журнал в файл " + path).toStdString(), kt::DialogKind::Error,
                   kt::DialogButtons::Ok);
}

void TMainForm::SetCaption(std::string_view caption)
{
    setWindowTitle(FromUtf8(caption));
}

void TMainForm::SetUpdateEnabled(bool enabled)
{
    ToolFullFlash->setEnabled(enabled);
}

kt::ModalResult TMainForm::ShowDialog(std::string_view message, kt::DialogKind kind, kt::DialogButtons buttons)
{
    QString text = FromUtf8(message);
    text.replace(QChar('\r'), QChar('\n'));
    const QMessageBox::Icon icon = kind == kt::DialogKind::Error         ? QMessageBox::Critical
                                   : kind == kt::DialogKind::Information ? QMessageBox::Information
                                                                         : QMessageBox::Question;
    // Parented to the window: centred on it, modal, destroyed after use.
    QMessageBox box(icon, windowTitle(), text, QMessageBox::NoButton, this);
    // A search that found nothing tells each port's reason under "Show Details...".
    if (kind == kt::DialogKind::Error && !session_->InTransfer()) {
        const std::string detail = actions_->SearchDetail();
        if (!detail.empty() && session_->Report.stopReason == kt::StopReason::NoDevice)
            box.setDetailedText(FromUtf8(detail));
    }
    QPushButton* ok = nullptr;
    QPushButton* yes = nullptr;
    QPushButton* no = nullptr;
    if (buttons == kt::DialogButtons::Ok) {
        ok = box.addButton("OK", QMessageBox::AcceptRole);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    } else {
        yes = box.addButton("&Yes", QMessageBox::YesRole);
        no = box.addButton("&No", QMessageBox::NoRole);
        box.setDefaultButton(buttons == kt::DialogButtons::YesNoDefaultNo ? no : yes);
        box.setEscapeButton(no);
    }
    box.exec();
    const auto* clicked = box.clickedButton();
    if (clicked != nullptr && clicked == ok)
        return kt::ModalResult::Ok;
    if (clicked != nullptr && clicked == yes)
        return kt::ModalResult::Yes;
    if (clicked != nullptr && clicked == no)
        return kt::ModalResult::No;
    return kt::ModalResult::Cancel;
}

bool TMainForm::OpenPackage(const std::string& fileName)
{
    if (!kt::OpenPackage(fileName, Package_, *this))
        return false;
    // The next open starts where this package lies, with no name typed in.
    const QFileInfo opened(QString::fromStdString(fileName));
    openDialogDir_ = opened.absolutePath();
    openDialogFile_.clear();
    return true;
}

std::string TMainForm::PackageArgument(const QStringList& arguments)
{
    std::vector<std::string> all;
    for (const QString& argument : arguments)
        all.push_back(argument.toStdString());
    return kt::FormActions::PackageArgument(all);
}

QString TMainForm::ExecOpenDialog()
{
    QFileDialog dialog(this, QString::fromUtf8("Выбери файл с прошивкой для ТЕЛВИКСа"), openDialogDir_,
                       QString::fromUtf8("Файлы прошивок ТЕЛВИКСа (*.kvf)"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);  // a typed name need not exist
    dialog.setSizeGripEnabled(true);
    if (!openDialogFile_.isEmpty())
        dialog.selectFile(openDialogFile_);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    const QString chosen = dialog.selectedFiles().first();
    const QFileInfo info(chosen);
    openDialogDir_ = info.absolutePath();
    openDialogFile_ = info.fileName();
    return chosen;
}

void TMainForm::ToolOpenClick()
{
    if (session_->InOperation())
        return;  // a device search is under way
    const QString chosen = chooseFile_ ? chooseFile_(*this) : ExecOpenDialog();
    if (chosen.isEmpty())
        return;
    OpenPackage(chosen.toStdString());
}
