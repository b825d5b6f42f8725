#pragma once

#include "rules/KvSettings.h"

#include <QString>
#include <QStringList>

// The stored form of one rule: a handle on the group "rules/{id}" of the
// settings store. Every accessor reads the store again; a rule and an open
// rule dialog hold separate handles on the same group and see each other's
// writes at once.
class RuleOptions : public KvSettings
{
public:
    enum ConnectionStatus : unsigned { Disconnected = 0, Connected = 1 };
    enum ConditionStatus : unsigned { Running = 0, NotRunning = 1 };
    enum ConditionState : unsigned { Anyhow = 0, Foreground = 1, Background = 2 };
    enum TargetAction : unsigned { LimitCpu = 0, Suspend = 1 };
    // Selects one of the two pattern lists.
    enum ProcessList : int { Condition = 0, Target = 1 };

    // The twelve keys of a rule's group, in the order the rule dialog binds
    // them.
    static constexpr const char *nameKey = "name";
    static constexpr const char *enabledKey = "enabled";
    static constexpr const char *conditionProcessesKey = "condition/selectedProcesses";
    static constexpr const char *internetConnectionKey = "condition/internetConnection";
    static constexpr const char *internetConnectionStatusKey = "condition/internetConnectionStatus";
    static constexpr const char *conditionStatusKey = "condition/status";
    static constexpr const char *conditionStateKey = "condition/state";
    static constexpr const char *targetProcessesKey = "target/selectedProcesses";
    static constexpr const char *targetActionKey = "target/action";
    static constexpr const char *cpuLimitKey = "target/cpuLimit";
    static constexpr const char *applyDelayKey = "target/applyDelay";
    static constexpr const char *applyDelayValueKey = "target/applyDelayValue";
    static QStringList keys();

    // The top-level group that holds one child group per rule.
    static constexpr const char *rulesGroup = "rules";

    explicit RuleOptions(unsigned id);
    ~RuleOptions() override;

    // "{%1}" with the id in lower-case hexadecimal, no leading zeros.
    static QString groupName(unsigned id);
    // The inverse of groupName; a name that does not parse yields 0.
    static unsigned idFromGroupName(const QString &groupName);

    // The condition list for Condition, the target list for Target, and an
    // empty list for any other selector.
    QStringList selectedProcesses(int which);
    void setSelectedProcesses(int which, const QStringList &patterns);

    // Typed readers of the keys; missing or unreadable values give
    // false, 0 or an empty string.
    QString name() const;
    bool enabled() const;
    bool internetConnection() const;
    unsigned internetConnectionStatus() const;
    unsigned conditionStatus() const;
    unsigned conditionState() const;
    unsigned targetAction() const;
    unsigned cpuLimit() const;
    bool applyDelay() const;
    unsigned applyDelayValue() const;

    // Stores "enabled" as a check state: 2 checked, 0 unchecked.
    void setEnabled(bool enabled);

    const unsigned id;

private:
    static const char *listKey(int which);
};
