// What the window gives a user beyond its design: a shortcut for each
// toolbar button and Tab onto the toolbar, a log that scrolls sideways and
// saves with timestamps, the progress in percent, a status line, and an open
// dialog that starts where the packages are.
#include "TMainForm.h"

#include "DialogAnswerer.h"

#include "InProcessDevice.h"
#include "PackageWriter.h"
#include "TestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string Settings(const kt::test::TempDir& dir)
{
    return (dir.Path() / "kt-flash.INI").string();
}

std::string GoodPackage(const kt::test::TempDir& dir, const std::string& name = "update.kvf")
{
    kt::gen::PackageContent c;
    c.name = "Пакет";
    c.coreVers = "1.2";
    c.device = 0x21;
    c.core = kt::gen::PatternBytes(520, 1);
    c.flash = kt::gen::PatternBytes(512, 2);
    std::ostringstream out;
    kt::gen::WritePackage(out, c);
    return dir.Write(name, out.str());
}

// The window shown and active, as shortcuts need it.
void ShowActive(TMainForm& form)
{
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
}

using Answerer = kt::test::DialogAnswerer;

TEST(MainFormKeys, ShortcutsRunTheToolbarButtons)
{
    kt::test::TempDir dir;
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    ShowActive(form);
    const QString path = QString::fromStdString(GoodPackage(dir));
    int asked = 0;
    form.SetFileChooser([&](TMainForm&) {
        ++asked;
        return path;
    });

    QTest::keyClick(form.Memo, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(form.windowTitle(), "KT_FLASH - update.kvf");

    QTest::keyClick(form.Memo, Qt::Key_I, Qt::ControlModifier);
    EXPECT_TRUE(form.Memo->toPlainText().contains(QString::fromUtf8("   DRAXO ID: TLV-M2-00042")));

    QTest::keyClick(form.Memo, Qt::Key_T, Qt::ControlModifier);
    EXPECT_TRUE(form.Memo->toPlainText().contains(QString::fromUtf8("Синхронизация часов ...")));

    Answerer answerer;
    QTest::keyClick(form.Memo, Qt::Key_U, Qt::ControlModifier);
    EXPECT_EQ(answerer.texts, (QStringList{QString::fromUtf8("Вы уверены, что хотите обновить ТЕЛВИКС?"),
                                           QString::fromUtf8("ТЕЛВИКС готов к работе!")}));
    EXPECT_EQ(sim.CoreImage(), form.Package().CORE);
}

TEST(MainFormKeys, ShortcutOfADisabledButtonDoesNothing)
{
    kt::test::TempDir dir;
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    ShowActive(form);
    QTest::keyClick(form.Memo, Qt::Key_U, Qt::ControlModifier);  // no package: the update is disabled
    EXPECT_TRUE(sim.Frames().empty());
    EXPECT_TRUE(form.Memo->toPlainText().isEmpty());
}

TEST(MainFormKeys, TabReachesTheToolbar)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    ShowActive(form);
    auto* bar = form.findChild<QToolBar*>("ToolBar1");
    QWidget* open = bar->widgetForAction(form.ToolOpen);
    form.Memo->setFocus();
    bool reached = false;
    for (int i = 0; i < 10 && !reached; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        reached = QApplication::focusWidget() == open;
    }
    ASSERT_TRUE(reached);
    // Space on the focused button clicks it.
    int asked = 0;
    form.SetFileChooser([&](TMainForm&) {
        ++asked;
        return QString();
    });
    QTest::keyClick(open, Qt::Key_Space);
    EXPECT_EQ(asked, 1);
}

TEST(MainFormLog, LongLinesScrollSideways)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    form.show();
    form.AddLog(std::string(400, 'x'));
    QApplication::processEvents();
    EXPECT_EQ(form.Memo->toPlainText().count('\n'), 0) << "the line stays whole";
    EXPECT_GT(form.Memo->horizontalScrollBar()->maximum(), 0);
    EXPECT_TRUE(form.Memo->horizontalScrollBar()->isVisible()) << "the user can scroll to the rest";
}

TEST(MainFormLog, SavedLogHasEveryLineAfterItsTime)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    ShowActive(form);
    ASSERT_TRUE(form.OpenPackage(GoodPackage(dir)));
    form.AddLog("   строка с \r переводом");
    const QString path = QString::fromStdString((dir.Path() / "log.txt").string());
    form.SetSaveChooser([&](TMainForm&) { return path; });

    QTest::keyClick(form.Memo, Qt::Key_S, Qt::ControlModifier);

    std::ifstream in(path.toStdString(), std::ios::binary);
    ASSERT_TRUE(in);
    std::string line;
    QStringList saved;
    while (std::getline(in, line))
        saved << QString::fromStdString(line);
    const QStringList shown = form.Memo->toPlainText().split('\n');
    ASSERT_EQ(saved.size(), shown.size());
    const QRegularExpression stamp(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  )");
    for (qsizetype i = 0; i < saved.size(); ++i) {
        const auto match = stamp.match(saved[i]);
        ASSERT_TRUE(match.hasMatch()) << saved[i].toStdString();
        EXPECT_EQ(saved[i].mid(match.capturedLength()), shown[i]);
    }
}

TEST(MainFormLog, ALogThatCannotBeSavedIsSaid)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    ShowActive(form);
    form.AddLog("строка");
    form.SetSaveChooser([](TMainForm&) { return QString("/nonexistent-folder/log.txt"); });
    Answerer answerer;
    form.SaveLogAction->trigger();
    ASSERT_EQ(answerer.texts.size(), 1);
    EXPECT_TRUE(answerer.texts[0].contains("/nonexistent-folder/log.txt"));
}

TEST(MainFormSettings, ASettingsFileThatCannotBeWrittenIsSaid)
{
    TMainForm form("/nonexistent-folder/kt-flash.INI");
    form.show();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(form.close());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "kt-flash: cannot write the settings file /nonexistent-folder/kt-flash.INI\n");
}

TEST(MainFormStatus, ProgressInPercentAndTheStepUnderWay)
{
    kt::test::TempDir dir;
    kt::sim::InProcessDevice sim;
    TMainForm form(Settings(dir));
    EXPECT_TRUE(form.StatusDevice->text().isEmpty());
    form.UseSimulatedDevice(sim.PortName(), sim.Factory());
    form.show();
    EXPECT_TRUE(form.StatusDevice->text().contains("SIM"));

    form.Progress().SetMax(4);
    form.Progress().SetPosition(1);
    EXPECT_EQ(form.ProgressBar->text(), "25%");

    ASSERT_TRUE(form.OpenPackage(GoodPackage(dir)));
    EXPECT_EQ(form.StatusStep->text(), QString::fromUtf8("Файл загружен успешно."));
    form.ToolInfo->trigger();
    EXPECT_EQ(form.StatusStep->text(), QString::fromUtf8("Считываю информацию о контроллере..."));
}

// The settings' default folder (FLASH beside the program) is not there: the
// dialog starts in the program's folder with no name typed in, and once a
// package opened, in that package's folder.
TEST(MainFormOpenDialog, StartsWhereThePackagesAre)
{
    kt::test::TempDir dir;
    TMainForm form(Settings(dir));
    EXPECT_EQ(form.OpenDialogFolder(), QCoreApplication::applicationDirPath());
    EXPECT_TRUE(form.OpenDialogFile().isEmpty());

    std::filesystem::create_directories(dir.Path() / "packages");
    const auto path = GoodPackage(dir, "packages/p.kvf");
    ASSERT_TRUE(form.OpenPackage(path));
    EXPECT_EQ(form.OpenDialogFolder(), QString::fromStdString((dir.Path() / "packages").string()));
    EXPECT_TRUE(form.OpenDialogFile().isEmpty());
}

TEST(MainFormOpenDialog, RemembersOnlyAPackageThatIsThere)
{
    kt::test::TempDir dir;
    const auto kept = GoodPackage(dir, "kept.kvf");
    dir.Write("kt-flash.INI", "[PARAMS]\r\nLAST_NAME=" + kept + "\r\n");
    TMainForm withFile(Settings(dir));
    EXPECT_EQ(withFile.OpenDialogFile(), "kept.kvf");

    dir.Write("kt-flash.INI", "[PARAMS]\r\nLAST_NAME=" + (dir.Path() / "gone.kvf").string() + "\r\n");
    TMainForm gone(Settings(dir));
    EXPECT_TRUE(gone.OpenDialogFile().isEmpty());
    EXPECT_EQ(gone.OpenDialogFolder(), QString::fromStdString(dir.Path().string()));
}

}  // namespace
