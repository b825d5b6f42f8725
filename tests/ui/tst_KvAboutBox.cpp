#include "tst_KvAboutBox.h"

#include "ui/KvAboutBox.h"

#include <QCoreApplication>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using Sizes = QList<QSize>;
Q_DECLARE_METATYPE(Sizes)

void TestKvAboutBox::iconSizeFor_data()
{
    QTest::addColumn<Sizes>("available");
    QTest::addColumn<QSize>("bounds");
    QTest::addColumn<QSize>("expected");

    QTest::newRow("largest that fits")
        << Sizes{{16, 16}, {32, 32}, {48, 48}, {256, 256}} << QSize(64, 64) << QSize(48, 48);
    QTest::newRow("tie: first listed wins")
        << Sizes{{32, 48}, {48, 32}} << QSize(64, 64) << QSize(32, 48);
    QTest::newRow("tie: first listed wins, reversed")
        << Sizes{{48, 32}, {32, 48}} << QSize(64, 64) << QSize(48, 32);
    QTest::newRow("one side too large")
        << Sizes{{16, 16}, {60, 80}} << QSize(64, 64) << QSize(16, 16);
    QTest::newRow("none fits: smallest scaled into the label")
        << Sizes{{256, 256}, {128, 128}} << QSize(64, 64) << QSize(64, 64);
    QTest::newRow("none fits: aspect ratio kept")
        << Sizes{{200, 100}, {400, 200}} << QSize(64, 64) << QSize(64, 32);
    QTest::newRow("no sizes: the label's") << Sizes{} << QSize(64, 64) << QSize(64, 64);
}

void TestKvAboutBox::iconSizeFor()
{
    QFETCH(Sizes, available);
    QFETCH(QSize, bounds);
    QFETCH(QSize, expected);
    QCOMPARE(KvAboutBox::iconSizeFor(available, bounds), expected);
}

void TestKvAboutBox::iconSizeForIcon()
{
    // The sizes come from the icon's normal/off images only.
    QIcon icon;
    for (int side : {16, 32, 48, 256}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::red);
        icon.addPixmap(pixmap, QIcon::Normal, QIcon::Off);
    }
    QPixmap disabled(64, 64);
    disabled.fill(Qt::gray);
    icon.addPixmap(disabled, QIcon::Disabled, QIcon::Off);

    QCOMPARE(KvAboutBox::iconSizeFor(icon, QSize(64, 64)), QSize(48, 48));
}

void TestKvAboutBox::showsNameVersionAndClosesOnOk()
{
    const QString oldName = QCoreApplication::applicationName();
    const QString oldVersion = QCoreApplication::applicationVersion();
    QCoreApplication::setApplicationName(QStringLiteral("Corvane"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.148"));

    KvAboutBox box;
    auto *name = box.findChild<QLabel *>(QStringLiteral("name"));
    QVERIFY(name);
    QCOMPARE(name->text(), QStringLiteral("<b>Corvane</b> 1.0.148"));

    auto *icon = box.findChild<QLabel *>(QStringLiteral("icon"));
    QVERIFY(icon);
    QVERIFY(icon->minimumSize() == QSize(64, 64));
    // Whatever the platform's icon for the executable, it must not be drawn
    // larger than its label.
    const QPixmap shown = icon->pixmap(Qt::ReturnByValue);
    QVERIFY(shown.width() <= 64);
    QVERIFY(shown.height() <= 64);

    bool clicked = false;
    QTimer::singleShot(0, &box, [&] {
        auto *ok = box.findChild<QPushButton *>(QStringLiteral("okButton"));
        if (ok) {
            clicked = true;
            ok->click();
        } else {
            box.reject();
        }
    });
    QCOMPARE(box.exec(), int(QDialog::Accepted));
    QVERIFY(clicked);

    QCoreApplication::setApplicationName(oldName);
    QCoreApplication::setApplicationVersion(oldVersion);
}
