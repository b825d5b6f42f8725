#include "platform/linux/KvLinuxVersion.h"

#include "platform/common/KvExecutableVersionReader.h"
#include "platform/common/KvVersionResource.h"

#include <QFileInfo>
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

    return KvExecutableVersionReader::readFile(resolved);
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
