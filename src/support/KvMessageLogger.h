#pragma once

#include "support/KvDebug.h"

#include <QMessageLogger>

// A QMessageLogger whose level methods return a KvDebug, which writes the
// message to the log file as well as to the framework's output. An
// operating-system error code can be attached; it is printed in its own
// column of the log line.
class KvMessageLogger : public QMessageLogger
{
public:
    // Category "default", as QMessageLogger's three-argument form.
    KvMessageLogger(const char *file, int line, const char *function);
    KvMessageLogger(const char *file, int line, const char *function, const char *category);
    KvMessageLogger(const char *file, int line, const char *function, const char *category,
                    int errorCode);
    virtual ~KvMessageLogger();

    KvDebug info() const;
    KvDebug warning() const;
    KvDebug critical() const;
    // Reaches the framework's output at info level; the log line says debug.
    KvDebug debug() const;

private:
    KvDebug makeDebug(QDebug stream, QtMsgType type) const;

    bool hasErrorCode = false;
    int errorCode = 0;
    KvLogContext logContext;
};
