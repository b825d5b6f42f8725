#pragma once

#include "rules/RulePattern.h"

#include <QList>
#include <QString>
#include <QStringList>

// Everything one rule says, as the rule store read it from the settings:
// which processes it restrains and how, and the conditions under which.
// A stored value that names no choice of an enumeration reads as Unknown,
// which no condition is met by and no action follows from.
struct RuleDefinition
{
    enum class ConnectionStatus { Disconnected = 0, Connected = 1, Unknown };
    enum class ConditionStatus { Running = 0, NotRunning = 1, Unknown };
    enum class ConditionState { Anyhow = 0, Foreground = 1, Background = 2, Unknown };
    enum class Action { LimitCpu = 0, Suspend = 1, Unknown };

    // A stored value that the rule cannot use as it stands (the settings
    // file is plain text, and people edit it), and what the rule does
    // instead. The stored value itself stays as it was written.
    struct Unusable
    {
        QString key;
        QString storedText;
        QString instead;
        bool operator==(const Unusable &other) const
        {
            return key == other.key && storedText == other.storedText;
        }
    };

    // The longest delay a rule waits, in seconds: what a timer can hold.
    static constexpr unsigned longestDelay = 2147483;

    unsigned id = 0;
    QString name;
    bool enabled = false;
    QStringList conditionPatterns;
    bool internetConnection = false;
    ConnectionStatus internetConnectionStatus = ConnectionStatus::Disconnected;
    ConditionStatus conditionStatus = ConditionStatus::Running;
    ConditionState conditionState = ConditionState::Anyhow;
    QStringList targetPatterns;
    Action action = Action::LimitCpu;
    // 1 to 100; read so whatever is stored.
    unsigned cpuLimit = 1;
    // The targets and every process they start are held together: under one
    // cap for all of them, or suspended all of them.
    bool shareLimit = false;
    bool applyDelay = false;
    // 0 to longestDelay.
    unsigned applyDelayValue = 0;
    // The action applies to a target only while it is busy: once it has
    // used busyPercent (1 to 100) of the machine or more for busySeconds (1
    // to 600), until it has been calm for calmSeconds (1 to 3600). Each
    // process is held on its own: the limit is not shared.
    bool onlyWhenBusy = false;
    unsigned busyPercent = 25;
    unsigned busySeconds = 10;
    unsigned calmSeconds = 30;

    // The patterns, ready to match paths.
    QList<RulePattern> conditions;
    QList<RulePattern> targets;

    QList<Unusable> unusable;

    // Whether a rule would act the same on both (the reports of unusable
    // values aside).
    bool operator==(const RuleDefinition &other) const;
    bool operator!=(const RuleDefinition &other) const { return !(*this == other); }
};
