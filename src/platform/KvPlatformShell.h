#pragma once

#include "support/KvInstallable.h"

#include <QString>

// What the desktop shell calls a program, as far as the file-open dialog
// that picks one needs to know.
class KvPlatformShell : public KvInstallable<KvPlatformShell>
{
public:
    virtual ~KvPlatformShell() = default;

    static KvPlatformShell *native();

    // The name filter of a file-open dialog (GetOpenFileNameW's lpstrFilter,
    // in QFileDialog's "a;;b" form) that offers the platform's programs.
    // Windows: "*.exe". Linux: programs carry no extension (/usr/bin/firefox),
    // so every file is offered, with "*.exe" as a second choice.
    virtual QString executableNameFilter() const = 0;

protected:
    KvPlatformShell() = default;
};
