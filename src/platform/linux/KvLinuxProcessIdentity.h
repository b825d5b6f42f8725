#pragma once

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
    static bool creationStamp(quint32 processId, quint64 &stamp);
    // The same from the start time a stat file gave, in clock ticks.
    static quint64 stampOf(quint64 startTicks);

    // "run-<pid>-<creation stamp>": how a run of this program is named where
    // other runs look (its cgroup directory, its hold record); empty when
    // this process's stamp cannot be read.
    static QString ownRunName();
    // Whether the run that a name of that form names is still going.
    static bool isRunning(const QString &runName);

    // pidfd_open(pid, 0).
    static int openPidfd(quint32 processId);
    // pidfd_send_signal(pidfd, signal); signal 0 checks that the process is
    // alive and may be signalled.
    static bool sendSignal(int pidfd, int signal);
    // Whether the process behind the pidfd has ended (zombie or gone); while
    // it has not, its id names it and no other.
    static bool hasExited(int pidfd);

private:
    static quint64 bootTag();
};
