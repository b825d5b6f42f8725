#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "process/KvProcessInfo.h"

class KvProcessGovernor;

// What every rule acts through and looks at besides its own definition: the
// governor with its table of running processes, the foreground process, the
// connectivity and the program's own process. The rules engine keeps it up
// to date before any rule hears of a change.
struct RuleContext
{
    explicit RuleContext(KvProcessGovernor &governor)
        : governor(governor)
    {}

    KvProcessGovernor &governor;
    KvProcessInfo foreground;
    KvConnectivity connectivity;
    quint32 ownProcessId = KvProcessInfo::noProcessId;
};
