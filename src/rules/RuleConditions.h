#pragma once

#include "platform/KvPlatformConnectivity.h"
#include "process/KvProcessGovernor.h"
#include "rules/RuleDefinition.h"

#include <QSet>
#include <QVector>

// Whether a rule's conditions hold, worked out from what they look at: the
// rule's definition, the running processes, the foreground process and the
// machine's connectivity. Nothing here remembers anything or asks the
// system.
//
// Conditions are not checked against the whole process table at every
// event: for each condition pattern the processes of the table that match
// it (the matches) are kept by the caller, brought up to date one process at
// a time, and built anew from the table when the caller missed a change.
class RuleConditions
{
public:
    using Matches = QVector<QSet<quint32>>;
    using Processes = KvProcessGovernor::ProcessTable;

    // Whether the conditions hold.
    static bool met(const RuleDefinition &rule, const Matches &matches,
                    const Processes &processes, const KvProcessInfo &foreground,
                    KvConnectivity connectivity);

    // The processes of the table that match each condition pattern.
    static Matches match(const RuleDefinition &rule, const Processes &processes);
    // Files the process under the condition patterns it matches, and takes
    // it out of the others.
    static void file(const RuleDefinition &rule, const KvProcessInfo &process, Matches &matches);

    // Whether the process matches a target pattern (whether it may be
    // restrained at all is the governor's to say).
    static bool isTarget(const RuleDefinition &rule, const KvProcessInfo &process);

private:
    // Whether one of the processes that match a pattern satisfies a Running
    // condition, the foreground state included.
    static bool satisfies(RuleDefinition::ConditionState state, const QSet<quint32> &matches,
                          const Processes &processes, const KvProcessInfo &foreground);
};
