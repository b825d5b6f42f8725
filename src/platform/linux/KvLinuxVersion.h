#pragma once

#include "platform/KvPlatformVersion.h"

#include <QDateTime>
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
    // Callers ask for the size and then for the block: the second read of
    // the same unchanged file comes from here.
    QByteArray readBlock(const QString &path);

    QMutex mutex;
    QString cachedPath;
    QDateTime cachedModified;
    qint64 cachedSize = -1;
    QByteArray cachedBlock;
};
