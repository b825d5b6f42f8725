#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>

// Reads the lines the program wrote to its log file since mark(), reduced
// to "<level letter> <error column, trimmed> <message>" for the governor's
// category, e.g. "C 5 failed to assign process #1000 to job object" or
// "I process #1000 threads suspended" (no error code: a single space).
class GovernorLogReader
{
public:
    static QString logPath()
    {
        return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) +
               QDir::separator() +
               QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() +
               QStringLiteral(".log");
    }

    void mark() { position = QFileInfo(logPath()).size(); }

    QStringList lines() const
    {
        QStringList result;
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return result;
        file.seek(position);
        static const QRegularExpression pattern(
            QStringLiteral("^\\S+ \\S+ \\[KvProcessGov\\] \\[(\\w)\\] (.{10}) (.*)$"));
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).remove(QLatin1Char('\n'));
            const QRegularExpressionMatch match = pattern.match(line);
            if (!match.hasMatch())
                continue;
            const QString error = match.captured(2).trimmed();
            result.append(match.captured(1) + QLatin1Char(' ') +
                          (error.isEmpty() ? QString() : error + QLatin1Char(' ')) +
                          match.captured(3));
        }
        return result;
    }

private:
    qint64 position = 0;
};
