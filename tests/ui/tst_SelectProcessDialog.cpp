#include "tst_SelectProcessDialog.h"

#include "DialogTestSupport.h"

#include "ui/SelectProcessDialog.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeView>

void TestSelectProcessDialog::returnsExactlyTheTypedText()
{
    // Running processes in the table must not get in the way of typing.
    InstalledMachine machine;
    machine.addProcess(QStringLiteral("C:/Windows/notepad.exe"));
    machine.addProcess(QStringLiteral("C:/Tools/tool.exe"));

    SelectProcessDialog dialog;
    auto *process = child<QLineEdit>(&dialog, "process");
    auto *ok = child<QPushButton>(&dialog, "okButton");
    QVERIFY(process->text().isEmpty());
    QVERIFY(!ok->isEnabled());
    QVERIFY(!child<QPushButton>(&dialog, "browse")->autoDefault());

    QObject scope;
    onNextModal<SelectProcessDialog>(&scope, [](SelectProcessDialog *select) {
        auto *line = child<QLineEdit>(select, "process");
        QTest::keyClicks(line, QStringLiteral("x"));
        line->clear();
        // Cleared again: OK must not be pressable.
        if (!child<QPushButton>(select, "okButton")->isEnabled())
            QTest::keyClicks(line, QStringLiteral("notepad.exe "));
        child<QPushButton>(select, "okButton")->click();
    });
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QCOMPARE(dialog.process(), QStringLiteral("notepad.exe "));

    process->clear();
    QVERIFY(!ok->isEnabled());
}

void TestSelectProcessDialog::browsingFillsTheNativePathAndCancelKeepsTheText()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A program the way a Linux user meets it: no extension.
    const QString program = dir.filePath(QStringLiteral("firefox"));
    QFile file(program);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFile::ExeOwner));

    InstalledMachine machine;
    SelectProcessDialog dialog;
    auto *process = child<QLineEdit>(&dialog, "process");
    QObject scope;

    bool chose = false;
    onNextModal<QFileDialog>(&scope, [&](QFileDialog *files) {
        chose = true;
        files->setDirectory(dir.path());
        files->selectFile(program);
        static_cast<QDialog *>(files)->accept(); // QFileDialog hides it
    });
    child<QPushButton>(&dialog, "browse")->click();
    QVERIFY(chose);
    QCOMPARE(process->text(), QDir::toNativeSeparators(program));
    QVERIFY(child<QPushButton>(&dialog, "okButton")->isEnabled());

    process->setText(QStringLiteral("typed.exe"));
    bool cancelled = false;
    onNextModal<QFileDialog>(&scope, [&](QFileDialog *files) {
        cancelled = true;
        files->reject();
    });
    child<QPushButton>(&dialog, "browse")->click();
    QVERIFY(cancelled);
    QCOMPARE(process->text(), QStringLiteral("typed.exe"));
}

void TestSelectProcessDialog::selectingARowFillsItsPath()
{
    InstalledMachine machine;
    machine.addProcess(QStringLiteral("C:/Windows/notepad.exe"));
    machine.addProcess(QStringLiteral("C:/Tools/tool.exe"));

    SelectProcessDialog dialog;
    auto *view = child<QTreeView>(&dialog, "processesView");
    auto *process = child<QLineEdit>(&dialog, "process");
    auto *ok = child<QPushButton>(&dialog, "okButton");
    QCOMPARE(view->model()->rowCount(), 2);

    // Opening the dialog chooses nothing by itself.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QVERIFY(process->text().isEmpty());
    QVERIFY(!ok->isEnabled());

    QTest::keyClicks(process, QStringLiteral("typed.exe"));
    view->setCurrentIndex(view->model()->index(1, 0));
    QCOMPARE(process->text(), view->model()->index(1, 2).data().toString());
    QVERIFY(ok->isEnabled());

    view->setCurrentIndex(view->model()->index(0, 1));
    QCOMPARE(process->text(), view->model()->index(0, 2).data().toString());
    QVERIFY(process->text().endsWith(QStringLiteral("notepad.exe")) ||
            process->text().endsWith(QStringLiteral("tool.exe")));
}
