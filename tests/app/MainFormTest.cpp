#include "TMainForm.h"

#include "PackageWriter.h"
#include "TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

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
    TMainForm form;
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
    EXPECT_FALSE(form.ToolOpen->icon().isNull());
    EXPECT_FALSE(form.ToolFullFlash->icon().isNull());
    for (QAction* a : {form.ToolOpen, form.ToolInfo, form.ToolTime, form.ToolFullFlash})
        EXPECT_FALSE(a->icon().pixmap(16, 16).isNull()) << a->objectName().toStdString();
}

TEST(MainForm, GoodOpenSetsCaptionLogAndEnablesUpdate)
{
    kt::test::TempDir dir;
    const auto path = GoodPackage(dir);
    TMainForm form;
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
    TMainForm form;
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
    TMainForm form;
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
    QStringList buttons;

    void AnswerNext(Qt::Key key)
    {
        QTimer::singleShot(0, [this, key] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            text = box->text();
            for (auto* b : box->buttons())
                buttons << b->text();
            QTest::keyClick(box, key);
        });
    }
};

TEST(MainForm, DialogCarriesTheWindowCaptionAndButtonConventions)
{
    kt::test::TempDir dir;
    TMainForm form;
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

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
