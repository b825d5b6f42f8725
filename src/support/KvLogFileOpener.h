#pragma once

#include "support/KvInstallable.h"

#include <QString>

// Opens the log for appending, in the way that lets other copies of the
// program rename it while it is open: several copies append to one log, and
// whichever finds it full moves it aside. POSIX allows that of any open file;
// Windows only of files every copy opened with delete sharing, which only
// the platform layer can ask for.
class KvLogFileOpener : public KvInstallable<KvLogFileOpener>
{
public:
    virtual ~KvLogFileOpener() = default;

    // Defined by the native backend of the platform layer.
    static KvLogFileOpener *native();

    // A C runtime file descriptor, open for appending only (each write goes
    // to the end, whoever else writes), the file made if it was missing; or
    // -1, with refusal saying why when something other than a regular file
    // is at path ("is a FIFO"): that is never opened, nor waited for.
    virtual int openForAppending(const QString &path, QString &refusal) = 0;

protected:
    KvLogFileOpener() = default;
};
