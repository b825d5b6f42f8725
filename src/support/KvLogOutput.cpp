#include "support/KvLogOutput.h"

#include "support/KvLogFile.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QThread>

#include <cstdio>
#include <cstdlib>

namespace {

QString workOutLogFilePath()
{
    if (!QCoreApplication::instance())
        return QString();
    const QString directory =
        QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    if (directory.isEmpty())
        return QString();
    QDir().mkpath(directory);
    const QString baseName = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return directory + QDir::separator() + baseName + QStringLiteral(".log");
}

} // namespace

KvLogOutput &KvLogOutput::instance()
{
    // Never destroyed: objects torn down at exit still log.
    static KvLogOutput *output = new KvLogOutput;
    return *output;
}

KvLogFile *KvLogOutput::fileLocked()
{
    // Before the application object exists there is no file, and lines are
    // lost; once its path could be worked out it is kept.
    if (!file) {
        const QString path = workOutLogFilePath();
        if (!path.isEmpty())
            file = new KvLogFile(path);
    }
    return file;
}

QString KvLogOutput::filePath()
{
    QMutexLocker locker(&mutex);
    KvLogFile *log = fileLocked();
    return log ? log->path() : QString();
}

bool KvLogOutput::batchingLocked()
{
    QCoreApplication *application = QCoreApplication::instance();
    if (!application || QThread::currentThread() != application->thread() ||
        QThread::currentThread()->loopLevel() == 0)
        return false;
    if (!flushArranged) {
        QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
        if (!dispatcher)
            return false;
        QObject::connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, [this] { flush(); });
        // A loop that ends does not block again: what its last pass wrote goes
        // out with the application object, or at exit without one.
        qAddPostRoutine([] { instance().flush(); });
        std::atexit([] { instance().flush(); });
        flushArranged = true;
    }
    return true;
}

void KvLogOutput::write(const QString &line)
{
    QMutexLocker locker(&mutex);
    pendingLines += line.toUtf8() + '\n';
    if (!batchingLocked())
        flushLocked();
}

void KvLogOutput::writeTerminal(const QByteArray &text)
{
    QMutexLocker locker(&mutex);
    pendingTerminal += text + '\n';
    if (!batchingLocked())
        flushLocked();
}

void KvLogOutput::takeOverTerminal()
{
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context,
                              const QString &message) {
        instance().writeTerminal(qFormatLogMessage(type, context, message).toLocal8Bit());
        // A fatal message ends the program: nothing may stay unwritten.
        if (type == QtFatalMsg)
            instance().flush();
    });
}

void KvLogOutput::flush()
{
    QMutexLocker locker(&mutex);
    flushLocked();
}

void KvLogOutput::flushLocked()
{
    if (!pendingLines.isEmpty()) {
        if (KvLogFile *log = fileLocked())
            log->append(pendingLines);
        pendingLines.clear();
    }
    if (!pendingTerminal.isEmpty()) {
        std::fwrite(pendingTerminal.constData(), 1, size_t(pendingTerminal.size()), stderr);
        std::fflush(stderr);
        pendingTerminal.clear();
    }
}
