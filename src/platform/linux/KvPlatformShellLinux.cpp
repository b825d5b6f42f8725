#include "platform/KvPlatformShell.h"

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
};

} // namespace

KvPlatformShell *KvPlatformShell::native()
{
    static KvPlatformShellLinux shell;
    return &shell;
}
