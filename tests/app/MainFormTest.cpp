#include "TMainForm.h"

#include "DialogAnswerer.h"
#include "EscapeMoments.h"

#include "InProcessDevice.h"
#include "PackageWriter.h"
#include "PtyDevice.h"
#include "package/IniFile.h"
#include "serial/PortList.h"
#include "TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>

namespace {

QStringList LogLines(const TMainForm& form)
{
    return form.Memo->toPlainText().split('\n');
}

QToolButton* ButtonOf(TMainForm& form, QAction* action)
{
    auto* bar = form.findChild<QToolBar*>("ToolBar1");
    return qobject_cast<QToolButton*>(bar->widgetForAction(action));
}

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

TEST(MainForm, StartsWithTheDesignCaptionAndOnlyUpdateDisabled)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.show();
    EXPECT_EQ(form.windowTitle(), "KT-FLASH V.3.0");
    for (QAction* a : {form.ToolOpen, form.ToolInfo, form.ToolTime, form.ToolFullFlash})
        EXPECT_TRUE(a->isVisible()) << a->objectName().toStdString();
    EXPECT_TRUE(form.ToolOpen->isEnabled());
    EXPECT_TRUE(form.ToolInfo->isEnabled());
    EXPECT_TRUE(form.ToolTime->isEnabled());
    EXPECT_FALSE(form.ToolFullFlash->isEnabled());
    EXPECT_EQ(form.ToolFullFlash->toolTip(), QString::fromUtf8("Начать обновлние ТЕЛВИКСа"));
    EXPECT_EQ(form.GroupBox1->title(), QString::fromUtf8(" Информация о прошивке "));
    EXPECT_TRUE(form.Memo->isReadOnly());
    EXPECT_EQ(form.Memo->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_TRUE(form.Memo->toPlainText().isEmpty());
    EXPECT_EQ(form.ProgressBar->maximum(), 100);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form.minimumSize(), QSize(TMainForm::kDesignWidth, TMainForm::kDesignHeight));
    EXPECT_FALSE(form.windowIcon().isNull());
    EXPECT_FALSE(form.ToolOpen->icon().isNull());
    EXPECT_FALSE(form.ToolFullFlash->icon().isNull());
    for (QAction* a : {form.ToolOpen, form.ToolInfo, form.ToolTime, form.ToolFullFlash})
        EXPECT_FALSE(a->icon().pixmap(16, 16).isNull()) << a->objectName().toStdString();
}

TEST(MainForm, GoodOpenSetsCaptionLogAndEnablesUpdate)
{
    kt::test::TempDir dir;
    const auto path = GoodPackage(dir);
    TMainForm form(Settings(dir));
    form.show();

    ASSERT_TRUE(form.OpenPackage(path));

    EXPECT_EQ(form.windowTitle(), "KT_FLASH - update.kvf");
    EXPECT_TRUE(form.ToolFullFlash->isEnabled());
    EXPECT_TRUE(ButtonOf(form, form.ToolFullFlash)->isEnabled());
    const auto lines = LogLines(form);
    EXPECT_EQ(lines.first(), QString::fromStdString("Открываю файл: " + path));
    EXPECT_EQ(lines[1], QString::fromUtf8("  Имя: Пакет"));
    EXPECT_EQ(lines[lines.size() - 2], QString::fromUtf8("Файл загружен успешно."));
    EXPECT_EQ(lines.last(), "");
    EXPECT_EQ(form.ProgressBar->value(), form.ProgressBar->minimum());
}

TEST(MainForm, FailedOpenAfterAGoodOneDisablesUpdate)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    ASSERT_TRUE(form.OpenPackage(GoodPackage(dir)));
    const auto missing = (dir.Path() / "gone.kvf").string();

    EXPECT_FALSE(form.OpenPackage(missing));

    EXPECT_EQ(form.windowTitle(), "KT_FLASH V.3.0");
    EXPECT_FALSE(form.ToolFullFlash->isEnabled());
    EXPECT_EQ(LogLines(form), (QStringList{QString::fromStdString("Открываю файл: " + missing),
                                           QString::fromUtf8("   Несовместимая версия файла!"),
                                           QString::fromUtf8("   Ошибка при чтении файла!"), ""}));
    EXPECT_TRUE(form.Package().CORE.empty());
}

TEST(MainForm, OpenButtonOpensTheChosenFileAndCancelDoesNothing)
{
    kt::test::TempDir dir;
    const auto path = GoodPackage(dir);
    TMainForm form(Settings(dir));
    QString answer;
    form.SetFileChooser([&](TMainForm&) { return answer; });

    form.ToolOpen->trigger();  // cancelled
    EXPECT_EQ(form.windowTitle(), "KT-FLASH V.3.0");
    EXPECT_TRUE(form.Memo->toPlainText().isEmpty());

    answer = QString::fromStdString(path);
    form.ToolOpen->trigger();
    EXPECT_EQ(form.windowTitle(), "KT_FLASH - update.kvf");
    EXPECT_TRUE(form.ToolFullFlash->isEnabled());
}

TEST(MainForm, PackageArgumentIsTheFirstNonOption)
{
    EXPECT_EQ(TMainForm::PackageArgument({"kt-flash"}), "");
    EXPECT_EQ(TMainForm::PackageArgument({"kt-flash", "a.kvf", "b.kvf"}), "a.kvf");
    EXPECT_EQ(TMainForm::PackageArgument({"kt-flash", "--simulate", "a.kvf"}), "a.kvf");
    EXPECT_EQ(TMainForm::PackageArgument({"kt-flash", "--simulate"}), "");
}

// Answers the next modal message box with `key` and records what it showed.
struct DialogProbe {
    QString title;
    QString text;
    QString detail;
    QStringList buttons;

    void AnswerNext(Qt::Key key)
    {
        QTimer::singleShot(0, [this, key] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            text = box->text();
            detail = box->detailedText();
            for (auto* b : box->buttons())
                buttons << b->text();
            QTest::keyClick(box, key);
        });
    }
};

TEST(MainForm, DialogCarriesTheWindowCaptionAndButtonConventions)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.show();
    DialogProbe probe;

    probe.AnswerNext(Qt::Key_Return);
    EXPECT_EQ(form.ShowDialog("ОШИБКА!\rВторая строка", kt::DialogKind::Error, kt::DialogButtons::Ok),
              kt::ModalResult::Ok);
    EXPECT_EQ(probe.title, "KT-FLASH V.3.0");
    EXPECT_EQ(probe.text, QString::fromUtf8("ОШИБКА!\nВторая строка"));
    EXPECT_EQ(probe.buttons, QStringList{"OK"});

    ASSERT_TRUE(form.OpenPackage(GoodPackage(dir)));
    probe = {};
    probe.AnswerNext(Qt::Key_Return);
    EXPECT_EQ(form.ShowDialog("Вы уверены?", kt::DialogKind::Confirmation, kt::DialogButtons::YesNo),
              kt::ModalResult::Yes);
    EXPECT_EQ(probe.title, "KT_FLASH - update.kvf");
    EXPECT_EQ(probe.buttons, (QStringList{"&Yes", "&No"}));

    probe.AnswerNext(Qt::Key_Escape);
    EXPECT_EQ(form.ShowDialog("Вы уверены?", kt::DialogKind::Confirmation, kt::DialogButtons::YesNo),
              kt::ModalResult::No);
}

// The system's port list replaced for one test.
class PortListScope {
public:
    explicit PortListScope(std::vector<std::string> ports) { kt::serial::SetPortListOverride(std::move(ports)); }
    ~PortListScope() { kt::serial::SetPortListOverride(std::nullopt); }
};

TEST(MainFormDevice, InfoButtonHoldsTheToolbarAndTheWindowWhileBusy)
{
    kt::test::TempDir dir;
    kt::sim::PtyDevice sim;
    PortListScope ports({sim.SlavePath()});
    TMainForm form(Settings(dir));
    form.show();

    bool sawBusy = false;
    bool toolbarHeld = false;
    bool closeRefused = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (sawBusy || !form.Session().Busy)
            return;
        sawBusy = true;
        toolbarHeld = !form.ToolOpen->isEnabled() && !form.ToolInfo->isEnabled() && !form.ToolTime->isEnabled();
        closeRefused = !form.close();
    });
    watch.start(20);
    form.ToolInfo->trigger();
    watch.stop();

    EXPECT_TRUE(sawBusy);
    EXPECT_TRUE(toolbarHeld);
    EXPECT_TRUE(closeRefused);
    EXPECT_TRUE(form.isVisible());
    const auto lines = LogLines(form);
    EXPECT_EQ(lines.first(), QString::fromStdString("ТЕЛВИКС обнаружен на порту " + sim.SlavePath()));
    EXPECT_TRUE(lines.contains(QString::fromUtf8("   DRAXO ID: TLV-M2-00042")));
    EXPECT_EQ(lines.last(), "");
    EXPECT_TRUE(form.ToolOpen->isEnabled());
    EXPECT_FALSE(form.ToolFullFlash->isEnabled());
    EXPECT_FALSE(form.Comm1.Active());

    EXPECT_TRUE(form.close());  // idle now: the close goes through and the port is remembered
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), sim.SlavePath());
    EXPECT_GE(ini.ReadInteger("Window", "Width", 0), TMainForm::kDesignWidth);
}

TEST(MainFormDevice, NoDeviceLogsAndShowsTheErrorDialog)
{
    kt::test::TempDir dir;
    PortListScope ports({});
    dir.Write("kt-flash.INI", "[PARAMS]\r\nPORT=/dev/kt-no-such-port\r\nLAST_NAME=/x/y.kvf\r\nBOAD=9600\r\n");
    TMainForm form(Settings(dir));
    form.show();
    EXPECT_EQ(form.Comm1.BaudRate(), 9600);
    DialogProbe probe;
    probe.AnswerNext(Qt::Key_Return);

    form.ToolTime->trigger();

    EXPECT_EQ(LogLines(form), (QStringList{QString::fromUtf8("ОШИБКА! ТЕЛВИКС не подключен к компьютеру."), ""}));
    EXPECT_EQ(probe.text,
              QString::fromUtf8(
                  "ОШИБКА! Контроллер не подключен к компьютеру.\nПроверьте кабель, питание и повторите снова."));
    EXPECT_EQ(probe.title, "KT-FLASH V.3.0");
    // The fixed text stays; each port tried and its reason come as the detail.
    EXPECT_EQ(probe.detail, "/dev/kt-no-such-port: no such device");
    EXPECT_TRUE(form.close());
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", "missing"), "");  // cleared by the failed search
    EXPECT_EQ(ini.ReadString("PARAMS", "LAST_NAME", ""), "/x/y.kvf");
    EXPECT_EQ(ini.ReadString("PARAMS", "BOAD", ""), "9600");
}

using kt::test::DialogAnswerer;

// A package for the simulated device's model.
kt::gen::PackageContent UpdatePackage(std::size_t coreSize, std::size_t flashSize)
{
    kt::gen::PackageContent c;
    c.coreVers = "1";
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

TEST(MainFormDevice, EnterRunsTheWholeUpdateThroughTheWindow)
{
    kt::test::TempDir dir;
    kt::sim::PtyDevice sim;
    PortListScope ports({sim.SlavePath()});
    TMainForm form(Settings(dir));
    form.show();
    const auto c = UpdatePackage(780, 1000);
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, c)));
    DialogAnswerer answerer;

    QTest::keyClick(form.Memo, Qt::Key_Return);

    EXPECT_EQ(answerer.texts, (QStringList{QString::fromUtf8("Вы уверены, что хотите обновить ТЕЛВИКС?"),
                                           QString::fromUtf8("ТЕЛВИКС готов к работе!")}));
    const auto lines = LogLines(form);
    EXPECT_TRUE(lines.contains(QString::fromUtf8("ОБНОВЛЕНИЕ завершено успешно!")));
    EXPECT_EQ(sim.CoreImage(), c.core);
    kt::Bytes media = c.flash;
    media.resize(1024, 0xFF);
    EXPECT_EQ(sim.MediaImage(), media);
    EXPECT_TRUE(form.ToolFullFlash->isEnabled());
    EXPECT_FALSE(form.Comm1.Active());
}

// --simulate: the device inside the program answers under its own name, the
// system's ports are not searched, and the remembered port outlives the run.
TEST(MainFormDevice, SimulatedDeviceAnswersUnderItsNameAndLeavesTheRememberedPort)
{
    kt::test::TempDir dir;
    PortListScope ports({"/dev/kt-no-such-port"});
    dir.Write("kt-flash.INI", "[PARAMS]\r\nPORT=/dev/ttyREMEMBERED\r\n");
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    form.show();

    form.ToolInfo->trigger();

    const auto lines = LogLines(form);
    EXPECT_EQ(lines.first(), QString::fromUtf8("ТЕЛВИКС обнаружен на порту SIM"));
    EXPECT_TRUE(lines.contains(QString::fromUtf8("   DRAXO ID: TLV-M2-00042")));
    EXPECT_EQ(sim.Frames().back(), "X");
    EXPECT_FALSE(form.Comm1.Active());
    EXPECT_TRUE(form.close());
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), "/dev/ttyREMEMBERED");
}

// RECORD in the settings: the window keeps the same records as the command
// line, one whole line per operation.
TEST(MainFormRecord, KeepsARecordOfEachOperation)
{
    kt::test::TempDir dir;
    const std::string records = (dir.Path() / "records.jsonl").string();
    dir.Write("kt-flash.INI", "[PARAMS]\r\nRECORD=" + records + "\r\n");
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    form.show();

    form.ToolInfo->trigger();
    form.ToolTime->trigger();

    std::ifstream in(records);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"operation\":\"info\",\"port\":\"SIM\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"identity\":\"TLV-M2-00042\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"operation\":\"time\""), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\"ok\":true"), std::string::npos) << lines[1];
}

// A record file that cannot be kept is an error before anything is sent.
TEST(MainFormRecord, UnwritableRecordFileSendsNothing)
{
    kt::test::TempDir dir;
    dir.Write("kt-flash.INI", "[PARAMS]\r\nRECORD=" + dir.Path().string() + "\r\n");  // a folder
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    form.show();
    DialogProbe probe;
    probe.AnswerNext(Qt::Key_Return);

    form.ToolInfo->trigger();

    EXPECT_TRUE(probe.text.startsWith(QString::fromUtf8("Не удаётся вести журнал операций:\n") +
                                      QString::fromStdString(dir.Path().string())))
        << probe.text.toStdString();
    EXPECT_TRUE(sim.Frames().empty());
    EXPECT_TRUE(LogLines(form).isEmpty() || LogLines(form) == QStringList{""});
}

// Answers the question about stopping a transfer with `stop`, every other
// message box with Enter, and keeps their texts.
class StopQuestionAnswerer {
public:
    explicit StopQuestionAnswerer(bool stop)
    {
        QObject::connect(&timer_, &QTimer::timeout, [this, stop] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr)
                return;
            texts << box->text();
            if (box->text().startsWith(QString::fromUtf8("Прервать обновление?"))) {
                defaultWasNo = box->defaultButton() != nullptr && box->defaultButton()->text() == "&No";
                for (QAbstractButton* b : box->buttons())
                    if (b->text() == (stop ? "&Yes" : "&No"))
                        b->click();
                return;
            }
            QTest::keyClick(box, Qt::Key_Return);
        });
        timer_.start(20);
    }
    QStringList texts;
    bool defaultWasNo = false;

private:
    QTimer timer_;
};

using kt::test::ChangesTheDevice;
using kt::test::CountOf;

class EscapeMoment : public ::testing::TestWithParam<kt::test::EscapeMoment> {};

// Esc stops the update at once during the search, the readout and the clock,
// and after a Yes to its question during a block transfer; nothing that
// changes the device goes out after it, the port closes, the port is kept.
TEST_P(EscapeMoment, StopsTheUpdate)
{
    const auto& c = GetParam();
    kt::test::TempDir dir;
    kt::sim::SimOptions options = c.options;
    options.baud = 115200;  // about 45 ms a core block and 90 ms a media block
    kt::sim::PtyDevice sim(options);
    PortListScope ports({});
    dir.Write("kt-flash.INI", "[PARAMS]\r\nPORT=" + sim.SlavePath() + "\r\n");
    TMainForm form(Settings(dir));
    form.show();
    const auto pkg = UpdatePackage(260 * 40, 512 * 20);
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, pkg)));
    StopQuestionAnswerer answerer(true);
    std::optional<std::size_t> stoppedAt;
    QTimer escape;
    QObject::connect(&escape, &QTimer::timeout, [&] {
        if (!stoppedAt && c.when(sim.Frames())) {
            stoppedAt = sim.Frames().size();
            QTest::keyClick(form.Memo, Qt::Key_Escape);
        }
    });
    escape.start(5);

    form.ToolFullFlash->trigger();

    ASSERT_TRUE(stoppedAt.has_value());
    const auto lines = LogLines(form);
    QStringList tail;
    for (const auto& line : c.tail)
        tail << QString::fromStdString(line);
    ASSERT_GE(lines.size(), tail.size());
    EXPECT_EQ(lines.mid(lines.size() - tail.size()), tail);
    const auto frames = sim.Frames();
    long changes = 0;  // one block may have been on its way when Esc was pressed
    for (std::size_t i = *stoppedAt; i < frames.size(); ++i)
        changes += ChangesTheDevice(frames[i]) ? 1 : 0;
    EXPECT_LE(changes, 1);
    EXPECT_FALSE(form.Comm1.Active());
    EXPECT_FALSE(form.Session().Busy);
    EXPECT_TRUE(form.close());
    kt::IniFile ini(Settings(dir));
    EXPECT_EQ(ini.ReadString("PARAMS", "PORT", ""), sim.SlavePath());
}

INSTANTIATE_TEST_SUITE_P(Cases, EscapeMoment, ::testing::ValuesIn(kt::test::EscapeMoments()),
                         [](const auto& info) { return info.param.name; });

TEST(MainFormDevice, EscapeDuringATransferAnsweredNoLetsTheUpdateFinish)
{
    kt::test::TempDir dir;
    kt::sim::SimOptions slow;
    slow.baud = 115200;
    kt::sim::PtyDevice sim(slow);
    PortListScope ports({sim.SlavePath()});
    TMainForm form(Settings(dir));
    form.show();
    const auto c = UpdatePackage(260 * 20, 512);
    ASSERT_TRUE(form.OpenPackage(WritePackage(dir, c)));
    StopQuestionAnswerer answerer(false);
    bool pressed = false;
    QTimer escape;
    QObject::connect(&escape, &QTimer::timeout, [&] {
        if (!pressed && form.Progress().Position() >= 2) {
            pressed = true;
            QTest::keyClick(form.Memo, Qt::Key_Escape);
        }
    });
    escape.start(20);

    form.ToolFullFlash->trigger();

    EXPECT_TRUE(pressed);
    EXPECT_TRUE(answerer.defaultWasNo);  // Enter must not stop a transfer
    EXPECT_TRUE(answerer.texts.contains(QString::fromUtf8(TMainForm::kStopTransferQuestion).replace('\r', '\n')));
    EXPECT_TRUE(LogLines(form).contains(QString::fromUtf8("ОБНОВЛЕНИЕ завершено успешно!")));
    EXPECT_EQ(sim.CoreImage(), c.core);
}

// An error raised in a port event handler reaches the user in an error
// dialog and ends the running operation.
TEST(MainFormDevice, EventHandlerErrorIsShownAndEndsTheOperation)
{
    kt::test::TempDir dir;
    kt::sim::PtyDevice sim;
    PortListScope ports({sim.SlavePath()});
    TMainForm form(Settings(dir));
    form.show();
    bool thrown = false;
    form.Comm1.OnDataReceived = [&](kt::serial::TSpCustomSerialPort&, int) {
        if (form.Session().Busy && !thrown) {  // the first answer of the readout
            thrown = true;
            throw std::runtime_error("handler failed");
        }
        form.Session().Comm1DataReceived();
    };
    DialogAnswerer answerer;

    form.ToolInfo->trigger();

    EXPECT_TRUE(answerer.texts.contains("handler failed"));
    EXPECT_TRUE(LogLines(form).contains(QString::fromUtf8("   ОШИБКА при работе с контроллером!")));
    EXPECT_FALSE(form.Comm1.Active());
    EXPECT_FALSE(form.Session().Busy);
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
