#pragma once

#include "platform/KvPlatformFiles.h"
#include "platform/linux/KvUniqueFd.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Files that must be regular ones: the settings, the log, the hold records.
// Anything else at their names is refused unopened. A FIFO's open waits for
// the other end, a terminal may become the controlling one, and a device
// is read or written as if it were the file, so each open looks first
// (stat and lstat wait for nothing), opens only a regular file or none,
// without waiting, and looks again at what it opened, should the name have
// been given to something else meanwhile.
class KvLinuxRegularFile
{
public:
    // What a file of that mode is, as the rest of a sentence about it ("is
    // a FIFO"); empty for a regular file.
    static QString notRegular(mode_t mode);

    // Opens path with flags (O_CREAT makes a missing file); symbolic links
    // are followed only if followLinks. An invalid descriptor when the file
    // is missing (refusal empty) or refused (refusal says why).
    static KvUniqueFd open(const QByteArray &path, int flags, bool followLinks, QString &refusal);

    // Reads path whole when it holds at most limit bytes.
    static KvFileContent read(const QByteArray &path, qint64 limit, bool followLinks);
};
