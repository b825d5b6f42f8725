#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "platform/KvPlatformWinEvents.h"
#include "process/KvProcessInfo.h"

class KvProcessGovernor;

// What the conditions of rules look at besides the process table: the
// process that owns the foreground window and the machine's connectivity.
//
// Both are the same for every rule, so the rules model keeps one context for
// all of its rules and brings it up to date once per change, before any rule
// hears of it; a rule on its own keeps one of its own.
class RuleContext
{
public:
    // Reads the foreground window and the connectivity as they are now.
    explicit RuleContext(const KvProcessGovernor *governor);

    // Makes the owner of window the foreground process.
    void followForegroundWindow(HWND window);
    void setConnectivity(NLM_CONNECTIVITY connectivity) { m_connectivity = connectivity; }

    const KvProcessInfo &foreground() const { return m_foreground; }
    NLM_CONNECTIVITY connectivity() const { return m_connectivity; }
    // The program's own process, which no rule restrains; asked at every
    // start for every rule, so asked of the system only once.
    DWORD ownProcessId() const { return m_ownProcessId; }

private:
    const KvProcessGovernor *governor;
    const DWORD m_ownProcessId;
    KvProcessInfo m_foreground;
    NLM_CONNECTIVITY m_connectivity = 0;
};
