#include "platform/KvPlatformShell.h"

namespace {

class KvPlatformShellWindows final : public KvPlatformShell
{
public:
    QString executableNameFilter() const override { return QStringLiteral("*.exe"); }
};

} // namespace

KvPlatformShell *KvPlatformShell::native()
{
    static KvPlatformShellWindows shell;
    return &shell;
}
