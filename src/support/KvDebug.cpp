#include "support/KvDebug.h"

#include "support/KvLogOutput.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>

#include <algorithm>
#include <cstring>

namespace {

QChar levelLetter(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QLatin1Char('D');
    case QtWarningMsg:
        return QLatin1Char('W');
    case QtCriticalMsg:
        return QLatin1Char('C');
    case QtFatalMsg:
        return QLatin1Char('F');
    case QtInfoMsg:
        return QLatin1Char('I');
    }
    return QLatin1Char('?');
}

// The time column, worked out once per second: a storm of process starts
// logs hundreds of lines in the same second.
QString timeColumn(const QDateTime &utcTime)
{
    static QMutex mutex;
    static qint64 second = -1;
    static QString text;
    QMutexLocker locker(&mutex);
    const qint64 now = utcTime.toSecsSinceEpoch();
    if (now != second) {
        second = now;
        text = utcTime.toUTC().toString(QStringLiteral("dd.MM.yy hh:mm::ss"));
    }
    return text;
}

} // namespace

KvDebug::KvDebug(const QDebug &stream, QtMsgType type, const KvLogContext &context,
                 bool hasErrorCode, int errorCode)
    : QDebug(stream)
    , hasErrorCode(hasErrorCode)
    , errorCode(errorCode)
    , context(context)
    , type(type)
{
    // The framework output shows the message as the log does, without the
    // quotes and separators QDebug would add.
    noquote();
    nospace();
}

KvDebug &KvDebug::operator<<(const char *text)
{
    message += QString::fromUtf8(text);
    return *this;
}

KvDebug &KvDebug::operator<<(const QString &text)
{
    message += text;
    return *this;
}

KvDebug &KvDebug::operator<<(char character)
{
    return *this << QChar::fromLatin1(character);
}

KvDebug &KvDebug::operator<<(QChar character)
{
    message += character;
    return *this;
}

QString KvDebug::escapeControlCharacters(const QString &text)
{
    const auto isControl = [](QChar character) {
        const ushort code = character.unicode();
        return code < 0x20 || (code >= 0x7F && code <= 0x9F) || code == 0x2028 || code == 0x2029;
    };
    // Nearly every line has none: it is handed back as it is, not copied.
    if (std::none_of(text.cbegin(), text.cend(), isControl))
        return text;
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar character : text) {
        const ushort code = character.unicode();
        if (!isControl(character)) {
            escaped += character;
            continue;
        }
        switch (code) {
        case '\n':
            escaped += QLatin1String("\\n");
            break;
        case '\r':
            escaped += QLatin1String("\\r");
            break;
        case '\t':
            escaped += QLatin1String("\\t");
            break;
        default:
            if (code <= 0xFF)
                escaped += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
            else
                escaped += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
        }
    }
    return escaped;
}

QString KvDebug::formatLine(const QDateTime &utcTime, const char *category, QtMsgType type,
                            bool hasErrorCode, int errorCode, const QString &message)
{
    const QString categoryColumn =
        (category && std::strcmp(category, "default") != 0)
            ? QStringLiteral("[%1]").arg(QString::fromLatin1(category).left(12), -12,
                                         QLatin1Char(' '))
            : QString(14, QLatin1Char(' '));
    const QString errorColumn = QStringLiteral("%1").arg(
        hasErrorCode ? QString::number(errorCode) : QString(), 10, QLatin1Char(' '));
    // The message goes in last, so that a "%1" inside it is written as it is.
    return QStringLiteral("%1 %2 [%3] %4 %5")
        .arg(timeColumn(utcTime))
        .arg(categoryColumn)
        .arg(levelLetter(type))
        .arg(errorColumn)
        .arg(escapeControlCharacters(message));
}

QString KvDebug::logFilePath()
{
    return KvLogOutput::instance().filePath();
}

KvDebug::~KvDebug()
{
    // Escaped once for both: escaping again finds nothing more to escape.
    const QString escaped = escapeControlCharacters(message);
    KvLogOutput::instance().write(formatLine(QDateTime::currentDateTimeUtc(), context.category,
                                             type, hasErrorCode, errorCode, escaped));
    // The framework's output (a terminal, often) is shown the message as the
    // log file has it; the QDebug base hands it on when it goes, right after
    // this.
    QDebug::operator<<(escaped);
}
