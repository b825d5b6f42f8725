#include "TestGoogleProvider.h"
#include "TestKvAnalytics.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QNetworkProxy>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

int main(int argc, char **argv)
{
    // The system locale is read once; fix it before anything asks.
    qputenv("LC_ALL", "en_US.UTF-8");
    qputenv("LANG", "en_US.UTF-8");
    // Nothing here may leave the machine. Unless a test points the hits at its
    // own server, they go to a loopback port where nobody listens.
    qputenv("CORVANE_MEASUREMENT_HOST", "127.0.0.1:1");
    for (const char *name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);

    // Settings and the log file go to a folder of their own.
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    qputenv("XDG_CONFIG_HOME", root.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", root.filePath(QStringLiteral("data")).toUtf8());

    QGuiApplication app(argc, argv);
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QCoreApplication::setOrganizationName(QStringLiteral("KvTestMaker"));
    QCoreApplication::setApplicationName(QStringLiteral("My App"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.148"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("a.b"));

    const QString settingsRoot = root.filePath(QStringLiteral("settings"));
    for (QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
        QSettings::setPath(format, QSettings::UserScope, settingsRoot + QStringLiteral("/user"));
        QSettings::setPath(format, QSettings::SystemScope,
                           settingsRoot + QStringLiteral("/system"));
    }

    int status = 0;
    {
        TestGoogleProvider test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        TestKvAnalytics test(settingsRoot);
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}
