#include "support/KvLogFile.h"

#include <QFileInfo>
#include <QLockFile>

namespace {

// Bounds how long lines go into a file that was deleted or moved away.
constexpr qint64 reopenIntervalMs = 1000;
// A switch takes a few renames; a copy that holds the lock longer is stuck,
// and this one logs on into the large file rather than wait for it.
constexpr int lockWaitMs = 1000;

} // namespace

KvLogFile::KvLogFile(const QString &path, qint64 sizeLimit, int keptFiles)
    : file(path)
    , sizeLimit(sizeLimit)
    , keptFiles(keptFiles)
{}

QString KvLogFile::olderFile(int number) const
{
    return file.fileName() + QLatin1Char('.') + QString::number(number);
}

bool KvLogFile::append(const QByteArray &line)
{
    // The size of the open file, not of the one at the name: this copy's
    // file grows past the limit also when another copy has already moved
    // it away.
    if (!file.isOpen() || sinceOpened.hasExpired(reopenIntervalMs) ||
        (!switchFailed && file.size() >= sizeLimit))
        reopen();
    return file.isOpen() && file.write(line) == line.size();
}

void KvLogFile::reopen()
{
    file.close();
    switchFailed = QFileInfo(file.fileName()).size() >= sizeLimit && !switchFiles();
    // Unbuffered: a line is one write, and it is in the file when append
    // returns.
    file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    sinceOpened.start();
}

bool KvLogFile::switchFiles()
{
    QLockFile lock(file.fileName() + QStringLiteral(".lock"));
    if (!lock.tryLock(lockWaitMs))
        return false;
    // Another copy may have switched since the size was read.
    if (QFileInfo(file.fileName()).size() < sizeLimit)
        return true;
    QFile::remove(olderFile(keptFiles));
    for (int number = keptFiles - 1; number >= 1; --number)
        QFile::rename(olderFile(number), olderFile(number + 1));
    return QFile::rename(file.fileName(), olderFile(1));
}
