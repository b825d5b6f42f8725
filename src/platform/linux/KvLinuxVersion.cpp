#include "platform/linux/KvLinuxVersion.h"

#include "platform/common/KvExecutableVersionReader.h"
#include "platform/common/KvVersionResource.h"

#include <QFileInfo>
#include <QMutexLocker>
#include <QStandardPaths>

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
    if (resolved.isEmpty() || !info.isFile())
        return {};

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
    return block;
}

KvFileInfo KvLinuxVersion::fileInfo(const QString &path)
{
    KvFileInfo info(path);
    const QByteArray block = readBlock(path);
    if (!block.isEmpty()) {
        KvVersionResource::describe(
            [&block](const QString &subBlock, QByteArray &value) {
                return KvVersionResource::queryValue(block, subBlock, value);
            },
            info);
    }
    return info;
}
