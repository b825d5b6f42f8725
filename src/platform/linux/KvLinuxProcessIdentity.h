#pragma once

#include "platform/KvPlatformTypes.h"

#include <QString>
#include <QtGlobal>

#include <sys/types.h>

// Telling one process from another that was later given the same id, and
// reaching it through a pidfd. Failures return false / -1 with errno set.
class KvLinuxProcessIdentity
{
public:
    // The process's start time made unique across boots (the boot's tag in
    // the top bits), never 0.
    static bool creationStamp(DWORD processId, quint64 &stamp);

    // "run-<pid>-<creation stamp>": how a run of this program is named where
    // other runs look (its cgroup directory, its hold record); empty when
    // this process's stamp cannot be read.
    static QString ownRunName();
    // Whether the run that a name of that form names is still going.
    static bool isRunning(const QString &runName);

    // The thread group (process) that thread `threadId` belongs to.
    static bool threadGroupOf(DWORD threadId, DWORD &threadGroupId);

    // pidfd_open(pid, 0).
    static int openPidfd(DWORD processId);
    // pidfd_send_signal(pidfd, signal); signal 0 checks that the process is
    // alive and may be signalled.
    static bool sendSignal(int pidfd, int signal);

private:
    static quint64 bootTag();
};
