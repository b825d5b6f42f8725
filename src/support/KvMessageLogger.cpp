#include "support/KvMessageLogger.h"

KvMessageLogger::KvMessageLogger(const char *file, int line, const char *function)
    : KvMessageLogger(file, line, function, "default")
{}

KvMessageLogger::KvMessageLogger(const char *file, int line, const char *function,
                                 const char *category)
    : QMessageLogger(file, line, function, category)
{
    logContext.file = file;
    logContext.line = line;
    logContext.function = function;
    logContext.category = category ? category : "default";
}

KvMessageLogger::KvMessageLogger(const char *file, int line, const char *function,
                                 const char *category, int errorCode)
    : KvMessageLogger(file, line, function, category)
{
    hasErrorCode = true;
    this->errorCode = errorCode;
}

KvMessageLogger::~KvMessageLogger() = default;

KvDebug KvMessageLogger::info() const
{
    return makeDebug(QMessageLogger::info(), QtInfoMsg);
}

KvDebug KvMessageLogger::warning() const
{
    return makeDebug(QMessageLogger::warning(), QtWarningMsg);
}

KvDebug KvMessageLogger::critical() const
{
    return makeDebug(QMessageLogger::critical(), QtCriticalMsg);
}

KvDebug KvMessageLogger::debug() const
{
    return makeDebug(QMessageLogger::info(), QtDebugMsg);
}

KvDebug KvMessageLogger::makeDebug(QDebug stream, QtMsgType type) const
{
    // The code goes only to the framework output; the log line has a column
    // of its own for it.
    if (hasErrorCode)
        stream << errorCode << " ";
    return KvDebug(stream, type, logContext, hasErrorCode, errorCode);
}
