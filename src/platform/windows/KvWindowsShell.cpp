#include "platform/windows/KvWindowsShell.h"

#include <QHash>

KvPlatformShell *KvPlatformShell::native()
{
    static KvWindowsShell shell;
    return &shell;
}

QString KvWindowsShell::executableNameFilter() const
{
    return QStringLiteral("*.exe");
}

QString KvWindowsShell::essentialRole(quint32 processId, const QString &executable) const
{
    // 0 and 4: the System Idle Process and the System process.
    if (processId == 0 || processId == 4)
        return QStringLiteral("the system");
    static const QHash<QString, const char *> programs = [] {
        QHash<QString, const char *> table;
        for (const char *name : {"dwm.exe", "explorer.exe", "sihost.exe", "shellexperiencehost.exe",
                                 "startmenuexperiencehost.exe", "fontdrvhost.exe", "ctfmon.exe"})
            table.insert(QLatin1String(name), "the desktop window manager or shell");
        for (const char *name : {"csrss.exe", "winlogon.exe", "wininit.exe", "smss.exe",
                                 "services.exe", "lsass.exe", "logonui.exe", "svchost.exe"})
            table.insert(QLatin1String(name), "a session, logon or service process");
        return table;
    }();
    const QString name = executable.section(QLatin1Char('\\'), -1).section(QLatin1Char('/'), -1);
    const char *role = programs.value(name.toLower());
    return role ? QLatin1String(role) : QString();
}
