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
    // A stored value that the rule cannot use as it stands (the settings file
    // is plain text, and people edit it), and what the rule does instead.
    // The stored value itself stays as it was written.
    struct Unusable
    {
        const char *key = nullptr;
        QString storedText;
        QString instead;
    };

    // The longest delay a rule waits, in seconds: what a timer can hold.
    static constexpr qint64 longestDelay = 2147483;

    // Reads every key; missing or unreadable values come as the options give
    // them (false, 0, empty).
    void read(RuleOptions &options);

    // Whether the rule would act the same on both (the reports of unusable
    // values aside).
    bool operator==(const RuleSettings &other) const;
    bool operator!=(const RuleSettings &other) const { return !(*this == other); }

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
    QList<Unusable> unusable;
};
