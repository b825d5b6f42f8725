#include "platform/linux/KvLinuxVersion.h"

#include "platform/KvPlatformKernel.h"
#include "platform/common/KvExecutableVersionReader.h"
#include "platform/common/KvVersionResource.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

#include <cerrno>

KvPlatformVersion *KvPlatformVersion::native()
{
    static KvLinuxVersion version;
    return &version;
}

QByteArray KvLinuxVersion::readBlock(const QString &path)
{
    // A bare name is looked up as a shell finds programs; a name with a
    // directory is taken as it is.
    QString resolved = path;
    if (!path.isEmpty() && !path.contains(QLatin1Char('/')))
        resolved = QStandardPaths::findExecutable(path);
    const QFileInfo info(resolved);
    if (resolved.isEmpty() || !info.isFile()) {
        KvPlatformKernel::current().setLastError(ENOENT);
        return {};
    }

    const QDateTime modified = info.lastModified();
    const qint64 size = info.size();
    QByteArray block;
    {
        QMutexLocker locker(&mutex);
        auto cached = cache.constFind(resolved);
        if (cached != cache.constEnd() && cached->size == size && cached->modified == modified) {
            block = cached->block;
        } else {
            block = KvExecutableVersionReader::readFile(resolved);
            if (cache.size() >= 1024)
                cache.clear();
            cache.insert(resolved, CachedBlock{modified, size, block});
        }
    }
    if (block.isEmpty())
        KvPlatformKernel::current().setLastError(ENODATA);
    return block;
}

DWORD KvLinuxVersion::getFileVersionInfoSize(const QString &path)
{
    return DWORD(readBlock(path).size());
}

bool KvLinuxVersion::getFileVersionInfo(const QString &path, DWORD size, QByteArray &block)
{
    const QByteArray found = readBlock(path);
    if (found.isEmpty())
        return false;
    block = found.left(int(qMin<DWORD>(size, DWORD(found.size()))));
    return true;
}

bool KvLinuxVersion::verQueryValue(const QByteArray &block, const QString &subBlock,
                                   QByteArray &value)
{
    return KvVersionResource::queryValue(block, subBlock, value);
}
