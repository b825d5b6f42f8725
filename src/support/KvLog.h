#pragma once

// The logging statements every component uses. Each one checks that its
// level is enabled before it builds anything, and writes its line when the
// statement ends:
//
//     kvInfo(lcGovernor) << "process #" << processId << " CPU limited to " << percent << "%";
//     kvCriticalWithCode(lcGovernor, error.code) << "failed to assign process #" << processId;
//
// The code variant prints the system's error code of the failure in the
// line's error column.

#include "support/KvMessageLogger.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCorvane)  // "Corvane": rules
Q_DECLARE_LOGGING_CATEGORY(lcNotifier) // "KvNotifier": process and window-event notifiers
Q_DECLARE_LOGGING_CATEGORY(lcGovernor) // "KvProcessGovernor": process governor

#define KV_LOG_STATEMENT(category, enabled, ...)                                                   \
    for (bool kvLogEnabled = category().enabled(); kvLogEnabled; kvLogEnabled = false)             \
    KvMessageLogger(nullptr, 0, nullptr, category().categoryName() __VA_ARGS__)

#define kvDebug(category) KV_LOG_STATEMENT(category, isDebugEnabled).debug()
#define kvInfo(category) KV_LOG_STATEMENT(category, isInfoEnabled).info()
#define kvWarning(category) KV_LOG_STATEMENT(category, isWarningEnabled).warning()
#define kvCritical(category) KV_LOG_STATEMENT(category, isCriticalEnabled).critical()
#define kvCriticalWithCode(category, code)                                                         \
    KV_LOG_STATEMENT(category, isCriticalEnabled, , static_cast<int>(code)).critical()
