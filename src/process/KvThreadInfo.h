#pragma once

#include "platform/KvPlatformTypes.h"

#include <QMetaType>

// One thread of a thread snapshot.
struct KvThreadInfo
{
    DWORD threadId = 0;
    DWORD ownerProcessId = 0;
    LONG basePriority = 0;
};

Q_DECLARE_METATYPE(KvThreadInfo)
