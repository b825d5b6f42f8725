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

    // Why a process must never be suspended or capped, in words for the log
    // ("the display server or compositor"), or nothing when it may be. These
    // are the processes that keep the user able to reach the program and
    // undo a rule: a frozen one freezes the desktop, the session or the
    // machine. Decided by process id and executable (a full path, or a bare
    // name where the path cannot be read).
    virtual QString essentialRole(quint32 processId, const QString &executable) const = 0;
    // The role whose program name the process bears without being that
    // program (essentialRole said nothing of it), in the same words; nothing
    // for the rest. A backend that goes by the name alone never finds one.
    virtual QString borrowedRole(quint32 processId, const QString &executable) const
    {
        Q_UNUSED(processId)
        Q_UNUSED(executable)
        return QString();
    }

protected:
    KvPlatformShell() = default;
};
