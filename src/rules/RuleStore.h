#pragma once

#include "rules/KvSettings.h"
#include "rules/KvSettingsWatcher.h"
#include "rules/RuleDefinition.h"

#include <QHash>
#include <QList>
#include <QObject>

// The rules as the settings keep them: one group "rules/{id}" per rule, the
// id in lower-case hexadecimal, with the keys below. The store reads
// every rule once and keeps what it read; it reads again after its own
// writes and whenever the settings change under it (another copy of the
// program, a hand edit, the rule dialog writing through a handle of its
// own), and announces each change, whoever made it. Its own changes go to
// the user's file at once; a settings file that cannot be taken in leaves
// the rules as they were read last (see KvSettingsFile).
class RuleStore : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *rulesGroup = "rules";
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
    static constexpr const char *shareLimitKey = "target/shareLimit";
    static constexpr const char *applyDelayKey = "target/applyDelay";
    static constexpr const char *applyDelayValueKey = "target/applyDelayValue";
    static constexpr const char *onlyWhenBusyKey = "target/onlyWhenBusy";
    static constexpr const char *busyPercentKey = "target/busyPercent";
    static constexpr const char *busySecondsKey = "target/busySeconds";
    static constexpr const char *calmSecondsKey = "target/calmSeconds";

    explicit RuleStore(QObject *parent = nullptr);
    ~RuleStore() override;

    // "{%1}" with the id in lower-case hexadecimal, no leading zeros: the
    // rule's group inside "rules".
    static QString groupName(unsigned id);
    // The inverse of groupName; 0 for a name that does not parse.
    static unsigned idOf(const QString &groupName);

    // The stored rules, in the store's order.
    const QList<unsigned> &ids() const { return m_ids; }
    // A stored rule; nullptr for an id the store does not hold.
    const RuleDefinition *definition(unsigned id) const;

    // Stores "enabled" as a check state (2 checked, 0 unchecked).
    void setEnabled(unsigned id, bool enabled);
    // Deletes the rule's group.
    void remove(unsigned id);
    // Reads the store again, after writes that went past it (and were
    // published by their handle), and what was written to the user's file.
    void reload();

signals:
    // A rule was added or changed.
    void ruleChanged(unsigned id);
    void ruleRemoved(unsigned id);
    // The list of rules changed: rules came or went.
    void listChanged();

private:
    RuleDefinition read(unsigned id);
    void readAll();
    void readAgain();
    void announce(const QList<unsigned> &before, const QHash<unsigned, RuleDefinition> &old);

    KvSettings settings;
    KvSettingsWatcher watcher;
    QList<unsigned> m_ids;
    QHash<unsigned, RuleDefinition> definitions;
    // The working copy's generation that the rules were read at.
    quint64 readGeneration = 0;
};
