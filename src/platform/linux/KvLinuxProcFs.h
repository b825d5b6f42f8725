#pragma once

#include <QtGlobal>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <vector>

// Reading processes and threads from /proc. Every reader fails quietly for a
// process that has gone or hides its details, leaving errno set.
class KvLinuxProcFs
{
public:
    struct Stat
    {
        quint32 parentProcessId = 0;
        // The kernel's name of the task: at most 15 bytes of the file name.
        QString comm;
        // Clock ticks after boot: with the id, tells a process from a later
        // one that was given the same id.
        quint64 startTime = 0;
        // Clock ticks of processor time used, in user and kernel mode.
        quint64 cpuTicks = 0;
        char state = '?';
        // A thread of the kernel's own: listed like a process, but none.
        bool kernelThread = false;
    };

    // Reads a small kernel file (/proc, cgroups) in one go: such files
    // report size 0, so it reads until a read comes back empty.
    static bool readFile(const QString &path, QByteArray &content);
    // The same for a path already in the file system's encoding.
    static bool readFile(const char *path, QByteArray &content);

    // A /proc file of one short line, which the first read hands out whole,
    // into buffer, with a '\0' after it: no second read just to learn of the
    // end, which what reads every process would pay for each. The length
    // read, or -1 (errno).
    static ssize_t readLine(const char *path, char *buffer, size_t size);

    // The text of a stat file; fails (EINVAL) when it is cut short.
    static bool parseStat(const QByteArray &content, Stat &stat);

    // The names in a directory that start with prefix, of directories only
    // or of files only. Without QDir, whose name filters no longer work
    // while the program exits (the job backend cleans up then).
    static QStringList entryNames(const QString &directory, const char *prefix, bool directories);

    // The numeric entries of /proc (processes) or /proc/PID/task (threads).
    static std::vector<quint32> processIds();
    static std::vector<quint32> threadIds(quint32 processId);
    // The numeric entries of any directory.
    static std::vector<quint32> numericEntries(const char *directory);

    // /proc/PID/stat.
    static bool readStat(quint32 processId, Stat &stat);
    // The stat file at path, with readLine().
    static bool readStat(const char *path, Stat &stat);

    // readlink /proc/PID/exe, without the " (deleted)" the kernel adds for
    // an image that was replaced. Fails (errno) for processes the user may
    // not inspect and for kernel threads.
    static bool readImagePath(quint32 processId, QString &path);
    // The same for the exe link at linkPath.
    static bool readImageLink(const char *linkPath, QString &path);

    // The name of a process whose image cannot be read: the kernel's name,
    // completed from the first argument where the kernel cut it to 15 bytes,
    // as a bare name. The first argument alone could be anything the program
    // made of it ("sshd: user@pts/0").
    static QString nameWithoutImage(const QString &kernelName, const QString &firstArgument);
    // The same, with the first argument read here only where it is needed.
    static QString nameWithoutImage(quint32 processId, const Stat &stat);
    static bool kernelNameCut(const QString &kernelName) { return kernelName.size() == 15; }

    // A kernel's name (comm) as a file name: its '/' (kernel threads such as
    // "kworker/0:1", or any program that names itself so) become '_'. The
    // name is the program's own choice, never a path to match.
    static QString bareName(QString kernelName);
};
