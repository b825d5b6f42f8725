#pragma once

#include "platform/KvPlatformTypes.h"
#include "process/KvProcessInfo.h"
#include "process/KvThreadInfo.h"

#include <QList>
#include <QSet>

// Flags of snapshotProcesses; they combine.
enum KvSnapshotFlag {
    // Leaves out records whose file name is empty.
    SkipUnnamed = 1,
    // Leaves out records whose full path was not found (no directory).
    SkipUnresolved = 2,
};

// The running processes, each completed with its full path and version
// information where they can be had. Opens every process and reads version
// resources: for start-up and dialogs, not for polling.
QList<KvProcessInfo> snapshotProcesses(int flags = 0);

// The ids of the running processes; reads nothing else.
QSet<DWORD> snapshotProcessIds();

// The threads of one process, in snapshot order; empty if it has none or
// does not exist.
QList<KvThreadInfo> snapshotThreads(DWORD processId);
