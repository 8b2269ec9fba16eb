// Answers every message box of the Qt window with Enter for as long as it
// lives, and keeps their texts.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTest>
#include <QTimer>

namespace kt::test {

class DialogAnswerer {
public:
    DialogAnswerer()
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts << box->text();
                QTest::keyClick(box, Qt::Key_Return);
            }
        });
        timer_.start(20);
    }
    QStringList texts;

private:
    QTimer timer_;
};

}  // namespace kt::test
