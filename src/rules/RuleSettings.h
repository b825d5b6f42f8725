#pragma once

#include "rules/RulePattern.h"

#include <QList>
#include <QString>

class RuleOptions;

// What a live rule acts on: every key of its stored group, read in one go,
// with the pattern lists compiled. The rule keeps it until the store is
// written again (KvSettings::writeCount()), so that an event costs no reads.
class RuleSettings
{
public:
    // Reads every key; missing or unreadable values come as the options give
    // them (false, 0, empty).
    void read(RuleOptions &options);

    QString name;
    bool enabled = false;
    bool internetConnection = false;
    unsigned internetConnectionStatus = 0;
    unsigned conditionStatus = 0;
    unsigned conditionState = 0;
    unsigned targetAction = 0;
    unsigned cpuLimit = 0;
    bool applyDelay = false;
    unsigned applyDelayValue = 0;
    QList<RulePattern> conditions;
    QList<RulePattern> targets;
};
