#pragma once

#include "support/KvDebug.h"

#include <QFile>
#include <QStringList>

// The lines that the program's log file received since the tail was made.
class LogTail
{
public:
    LogTail()
        : start(QFile(KvDebug::logFilePath()).size())
    {}

    QStringList lines() const
    {
        QFile file(KvDebug::logFilePath());
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text) || !file.seek(start))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // The lines that end with message.
    QStringList linesEndingWith(const QString &message) const
    {
        QStringList found;
        for (const QString &line : lines()) {
            if (line.endsWith(message))
                found.append(line);
        }
        return found;
    }

private:
    qint64 start;
};
