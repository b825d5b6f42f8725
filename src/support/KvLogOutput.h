#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>

class KvLogFile;

// Where finished log lines go: the log file, and the program's standard
// error. While the GUI thread's event loop runs, lines are gathered and
// written together at the end of the loop's pass that produced them (one
// write to each, instead of two per line); from other threads, and while
// no loop runs (start-up, exit, tests), each line is written at once.
// A line is written whole either way.
class KvLogOutput
{
public:
    static KvLogOutput &instance();

    // A line of the log file, without its end.
    void write(const QString &line);
    // From now on what the framework's message output receives (what the
    // terminal is shown of each line, Qt's own warnings) goes to standard
    // error through here, in the same batches. The program does this; tests
    // keep the framework's own output, which they read.
    static void takeOverTerminal();
    // Writes whatever waits.
    void flush();

    // The file that lines go to: worked out at the first line of the run and
    // kept for the rest of it; empty before the application object exists.
    QString filePath();

private:
    KvLogOutput() = default;
    KvLogFile *fileLocked();
    void flushLocked();
    // Whether lines of this call are gathered, and the flush at the end of
    // the pass is arranged.
    bool batchingLocked();
    void writeTerminal(const QByteArray &text);

    QMutex mutex;
    KvLogFile *file = nullptr;
    QByteArray pendingLines;
    QByteArray pendingTerminal;
    bool flushArranged = false;
};
