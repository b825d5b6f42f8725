#include "platform/KvPlatformShell.h"

#include "platform/linux/KvEssentialProcesses.h"

#include <QCoreApplication>

namespace {

class KvPlatformShellLinux final : public KvPlatformShell
{
public:
    QString executableNameFilter() const override
    {
        // A name filter cannot ask for the executable bit, so the first
        // choice offers every file; the executables are among them.
        return QCoreApplication::translate("KvPlatformShell", "Programs (*)") +
               QStringLiteral(";;*.exe");
    }

    QString essentialRole(quint32 processId, const QString &executable) const override
    {
        if (processId == 1)
            return QStringLiteral("the system's first process");
        const char *role = KvEssentialProcesses::namedRole(executable);
        return role && essentials.passes(processId, executable, role) ? QLatin1String(role)
                                                                      : QString();
    }

    QString borrowedRole(quint32 processId, const QString &executable) const override
    {
        const char *role = KvEssentialProcesses::namedRole(executable);
        return role && processId != 1 && !essentials.passes(processId, executable, role)
                   ? QLatin1String(role)
                   : QString();
    }

private:
    // Asked from const calls; what it keeps is a cache of what it found.
    mutable KvEssentialProcesses essentials;
};

} // namespace

KvPlatformShell *KvPlatformShell::native()
{
    static KvPlatformShellLinux shell;
    return &shell;
}
