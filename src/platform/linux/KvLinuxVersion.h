#pragma once

#include "platform/KvPlatformVersion.h"

#include <QDateTime>
#include <QHash>
#include <QMutex>

// Version resources on Linux: read from PE files and from our own ELF
// executables by our own parser.
class KvLinuxVersion : public KvPlatformVersion
{
public:
    KvFileInfo fileInfo(const QString &path) override;

private:
    // The same few executables are asked about again and again: blocks of
    // unchanged files (same size and modification time) come from a small
    // cache.
    QByteArray readBlock(const QString &path);

    struct CachedBlock
    {
        QDateTime modified;
        qint64 size;
        QByteArray block;
    };

    QMutex mutex;
    QHash<QString, CachedBlock> cache;
};
