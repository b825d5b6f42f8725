#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

// A private X server for a system test: Xvfb on a display it picks itself,
// ended with the object.
class KvXvfbServer
{
public:
    ~KvXvfbServer()
    {
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            server.waitForFinished();
        }
    }

    // Starts the server; false with the reason in problem() when it cannot.
    bool start()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty()) {
            failure = QStringLiteral("Xvfb is not installed");
            return false;
        }
        // Xvfb writes the number of the display it chose to our pipe; a
        // loaded machine may take a while to get it started.
        server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"),
                            QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QByteArray number;
        while (!number.contains('\n') && server.waitForReadyRead(60000))
            number += server.readAllStandardOutput();
        if (!number.contains('\n')) {
            server.kill();
            server.waitForFinished();
            failure = QStringLiteral("Xvfb did not start: ") +
                      QString::fromLocal8Bit(server.readAllStandardError());
            return false;
        }
        displayName = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        return true;
    }

    // The DISPLAY value of the running server.
    QString display() const { return displayName; }
    QString problem() const { return failure; }

private:
    QProcess server;
    QString displayName;
    QString failure;
};
