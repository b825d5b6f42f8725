#pragma once

#include "support/KvDebug.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

// The lines the program's log file received since the tail was made (or
// marked again), and the parts of them that tests compare.
class KvLogTail
{
public:
    KvLogTail() { mark(); }

    // From now on: earlier lines are no longer read.
    void mark() { start = QFile(KvDebug::logFilePath()).size(); }

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

    // The info messages of one category, in the order written.
    QStringList messages(const QString &category) const
    {
        QStringList found;
        for (const Entry &entry : entries(category)) {
            if (entry.level == QLatin1Char('I'))
                found.append(entry.message);
        }
        return found;
    }
    QStringList rules() const { return messages(QStringLiteral("Corvane")); }
    QStringList governor() const { return messages(QStringLiteral("KvProcessGovernor")); }

    // Every governor line as "<level> <error code> <message>", the code and
    // its blank left out when there is none: "C 5 failed to assign process
    // #1000 to job object", "I process #1000 threads suspended".
    QStringList governorEntries() const
    {
        QStringList found;
        for (const Entry &entry : entries(QStringLiteral("KvProcessGovernor")))
            found.append(entry.level + QLatin1Char(' ') +
                         (entry.error.isEmpty() ? QString() : entry.error + QLatin1Char(' ')) +
                         entry.message);
        return found;
    }

private:
    struct Entry
    {
        QChar level;
        QString error;
        QString message;
    };

    // The lines of one category (its column holds the first 12 characters
    // of the name): time stamp, category, level and error columns, message.
    QList<Entry> entries(const QString &category) const
    {
        const QString column = QStringLiteral("[%1]").arg(category.left(12), -12);
        static const QRegularExpression pattern(
            QStringLiteral("^\\S+ \\S+ (.{14}) \\[(\\w)\\] (.{10}) (.*)$"));
        QList<Entry> found;
        for (const QString &line : lines()) {
            const QRegularExpressionMatch match = pattern.match(line);
            if (match.hasMatch() && match.captured(1) == column)
                found.append(
                    Entry{match.captured(2).at(0), match.captured(3).trimmed(), match.captured(4)});
        }
        return found;
    }

    qint64 start = 0;
};
