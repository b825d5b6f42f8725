#pragma once

#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QString>

// What the program does to files beyond what Qt offers.
class KvPlatformFiles : public KvInstallable<KvPlatformFiles>
{
public:
    virtual ~KvPlatformFiles() = default;

    static KvPlatformFiles *native();

    // Renames from over to in one step, replacing a file of that name, so
    // that whoever reads `to` sees the old file or the new one and never a
    // part (Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING; Linux:
    // rename). Nothing is flushed to the disk.
    virtual KvStatus replace(const QString &from, const QString &to) = 0;

protected:
    KvPlatformFiles() = default;
};
