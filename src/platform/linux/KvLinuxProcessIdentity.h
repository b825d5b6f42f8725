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

    // "<pid>-<creation stamp>", and "-ns<inode>" after it for a process
    // outside the machine's initial PID namespace, whose ids mean nothing to
    // the copies of the program outside it: how a run of this program is
    // named where other runs look. Empty when this process's stamp cannot
    // be read.
    static QString ownRunId();
    // "run-" and the run's id: its cgroup directory, its hold record.
    static QString ownRunName();
    // Whether the run that a name of that form names may still be going: a
    // run of another PID namespace is taken for going unless that
    // namespace is seen to be gone, and a zombie has ended.
    static bool isRunning(const QString &runName);
    static bool hasEnded(const QString &runId);
    // The process id of a run of this process's own PID namespace, the
    // only runs whose ids mean here what they meant there; 0 for another
    // namespace's run, or a name that is no run id.
    static quint32 localProcessId(const QString &runId);

    // Whether this process sees the machine's process ids as they are: in
    // the initial PID namespace, the only one whose ids the kernel's process
    // connector reports.
    static bool inInitialPidNamespace();

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
    // The inode of this process's PID namespace; 0 when it cannot be read.
    static quint64 ownPidNamespace();
    // The namespace a run id of this process names (the initial one's
    // stands for itself: such ids carry none).
    static quint64 ownRunNamespace();
    // A run id's parts; false for a name that is no run id.
    static bool parseRunId(const QString &runId, quint32 &processId, quint64 &pidNamespace);
    // Whether some process still runs in the PID namespace of that inode.
    static bool pidNamespaceInUse(quint64 inode);
};
