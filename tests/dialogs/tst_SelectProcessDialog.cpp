#include "tst_SelectProcessDialog.h"

#include "DialogTestSupport.h"

#include "ui/SelectProcessDialog.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

void TestSelectProcessDialog::returnsExactlyTheTypedText()
{
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
