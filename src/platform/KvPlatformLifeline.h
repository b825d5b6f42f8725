#pragma once

#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QString>

// Something that outlives the program and lifts what the run holds should
// the run end without lifting it: killed, crashed, whatever ended it. While
// the program lives it waits and costs nothing. Once the program is gone it
// looks whether the run's restriction journal is still there (the journal
// goes once nothing is held) and, if so, runs the program's lifting of what
// ended runs left (`corvane --lift-leftovers`), then ends too. It holds
// nothing itself, so nothing of it can be left behind; a service manager that
// kills the program and its lifeline together leaves the lifting to the
// program's next start, as without one.
//
// Linux: a small process of its own (corvane-lifeline, no Qt, no threads),
// which learns of the program's end as its end of a socket pair closes.
// Windows: the same (corvane-lifeline.exe, no window either), with a pipe;
// it also holds the jobs of the run's CPU caps, which no later process could
// reach otherwise, and hands them to the lifting.
class KvPlatformLifeline : public KvInstallable<KvPlatformLifeline>
{
public:
    virtual ~KvPlatformLifeline() = default;

    static KvPlatformLifeline *native();

    // Starts the lifeline of the run whose journal is at journalPath (again,
    // should it end while the program runs); fails, saying why, where none
    // can be had. A run has one journal: once started, later calls do
    // nothing.
    virtual KvStatus start(const QString &journalPath) = 0;
    // The lifeline's process, which no rule may restrain; noProcessId while
    // there is none.
    virtual quint32 processId() const = 0;

protected:
    KvPlatformLifeline() = default;
};
