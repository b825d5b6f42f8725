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
    DWORD getFileVersionInfoSize(const QString &path) override;
    bool getFileVersionInfo(const QString &path, DWORD size, QByteArray &block) override;
    bool verQueryValue(const QByteArray &block, const QString &subBlock,
                       QByteArray &value) override;

private:
    // Callers ask for the size and then for the block, and snapshots read
    // the same few executables for many processes: blocks of unchanged files
    // (same size and modification time) come from a small cache.
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
