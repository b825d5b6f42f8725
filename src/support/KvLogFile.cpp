#include "support/KvLogFile.h"

#include "support/KvLogFileOpener.h"

#include <QFileInfo>
#include <QLockFile>

#include <cstdio>

namespace {

// Bounds how long lines go into a file that was deleted or moved away.
constexpr qint64 reopenIntervalMs = 1000;

} // namespace

KvLogFile::KvLogFile(const QString &path, qint64 sizeLimit, int keptFiles)
    : filePath(path)
    , sizeLimit(sizeLimit)
    , keptFiles(keptFiles)
{}

QString KvLogFile::olderFile(int number) const
{
    return filePath + QLatin1Char('.') + QString::number(number);
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
    switchFailed = QFileInfo(filePath).size() >= sizeLimit && !switchFiles();
    // Unbuffered: a line is one write, and it is in the file when append
    // returns.
    QString refusal;
    const int descriptor = KvLogFileOpener::current().openForAppending(filePath, refusal);
    if (descriptor >= 0)
        file.open(descriptor, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                  QFileDevice::AutoCloseHandle);
    // Said once where it can still be read: the lines themselves reach the
    // terminal all the same.
    if (!refusal.isEmpty() && refusal != refused) {
        const QByteArray notice = "corvane: the log \"" + QFile::encodeName(filePath) + "\" " +
                                  refusal.toLocal8Bit() + ": it is not written\n";
        std::fwrite(notice.constData(), 1, size_t(notice.size()), stderr);
    }
    refused = refusal;
    sinceOpened.start();
}

bool KvLogFile::switchFiles()
{
    // Something other than a file at the lock's name would have the lock
    // read it, and wait on a FIFO.
    const QFileInfo lockFile(filePath + QStringLiteral(".lock"));
    if (lockFile.exists() && !lockFile.isFile())
        return false;
    // Another copy that holds the lock is switching the files right now:
    // this one logs on rather than wait, and finds the new file at its next
    // line.
    QLockFile lock(lockFile.filePath());
    if (!lock.tryLock(0))
        return true;
    // Another copy may have switched since the size was read.
    if (QFileInfo(filePath).size() < sizeLimit)
        return true;
    // The full file leaves the name first, so that every copy starts a new
    // one at its next line while the older files move up. One that a switch
    // cut short left behind moves up first.
    const QString switching = olderFile(0);
    if (QFile::exists(switching))
        moveUp(switching);
    if (!QFile::rename(filePath, switching))
        return false;
    moveUp(switching);
    return true;
}

void KvLogFile::moveUp(const QString &newest)
{
    QFile::remove(olderFile(keptFiles));
    for (int number = keptFiles - 1; number >= 1; --number)
        QFile::rename(olderFile(number), olderFile(number + 1));
    QFile::rename(newest, olderFile(1));
}
