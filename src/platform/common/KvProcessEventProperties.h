#pragma once

#include "platform/KvProcessEventSource.h"

// The property lists of process start and end events, for the sources that
// describe processes themselves rather than receive the lists from the
// system, so that every source words its events alike.
class KvProcessEventProperties
{
public:
    // Empty texts become invalid values, as the system gives them; a parent
    // of 0xFFFFFFFF is unknown.
    static KvPropertyList creation(DWORD processId, DWORD parentProcessId,
                                   const QString &executablePath, const QString &commandLine,
                                   const QString &name);
    static KvPropertyList deletion(DWORD processId);

    // The first value under key; invalid when there is none.
    static QVariant value(const KvPropertyList &properties, const char *key);
};
