#include "platform/windows/KvWindowsShell.h"

KvPlatformShell *KvPlatformShell::native()
{
    static KvWindowsShell shell;
    return &shell;
}

QString KvWindowsShell::executableNameFilter() const
{
    return QStringLiteral("*.exe");
}
