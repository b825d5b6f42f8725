#include "rules/RuleStatusText.h"

#include "rules/Rule.h"
#include "rules/RulesEngine.h"

#include <QRegularExpression>

QString RuleStatusText::tooltip(RulesEngine &engine, unsigned id)
{
    const Rule *rule = engine.rule(id);
    if (!rule)
        return QString();
    const QList<quint32> ids = rule->heldProcessIds();
    QStringList lines{rule->definition().enabled ? state(engine, *rule, ids) : tr("Switched off")};
    // At most ten by name; the rest by number.
    const int shown = 10;
    for (quint32 processId : ids.mid(0, shown)) {
        const auto process = engine.governor().processes().value(processId);
        lines.append(QStringLiteral("%1 (#%2)")
                         .arg(process ? process->fileInfo.fileName() : QString())
                         .arg(processId));
    }
    if (ids.size() > shown)
        lines.append(tr("and %1 more").arg(ids.size() - shown));
    return lines.join(QLatin1Char('\n'));
}

QString RuleStatusText::idle(RulesEngine &engine, unsigned id)
{
    const Rule *rule = engine.rule(id);
    if (!rule)
        return QString();
    const RuleDefinition &definition = rule->definition();
    if (!definition.enabled)
        return tr("Switched off");
    if (rule->state() == RuleState::Delayed)
        return waiting(rule->delayLeft());
    if (rule->state() == RuleState::Inactive || definition.onlyWhenBusy)
        return state(engine, *rule, rule->heldProcessIds());
    const QStringList targets = programs(definition.targetPatterns);
    if (targets.isEmpty())
        return tr("It names no program to restrain");
    if (targets.size() == 1)
        return tr("%1 is not running").arg(targets.first());
    return tr("None of %1 is running").arg(listed(targets));
}

QString RuleStatusText::waiting(int seconds)
{
    return tr("Waiting %1 s for the delay").arg(seconds);
}

QString RuleStatusText::state(RulesEngine &engine, const Rule &rule, const QList<quint32> &held)
{
    const RuleDefinition &definition = rule.definition();
    if (rule.state() == RuleState::Inactive)
        return tr("Inactive until %1").arg(conditions(definition));
    QStringList paths;
    for (quint32 processId : held) {
        if (const auto process = engine.governor().processes().value(processId))
            paths.append(process->fileInfo.fileName());
    }
    QString who = listed(programs(paths));
    if (held.size() > 1)
        who = tr("%1 (%2 processes)").arg(who).arg(held.size());
    const QString limit = QString::number(definition.cpuLimit);
    const bool suspends = definition.action == RuleDefinition::Action::Suspend;
    if (rule.state() == RuleState::Delayed) {
        const QString left = QString::number(rule.delayLeft());
        if (held.isEmpty())
            return tr("Acts in %1 s — none of its programs is running").arg(left);
        return suspends ? tr("Suspends %1 in %2 s").arg(who, left)
                        : tr("Limits %1 to %2 % in %3 s").arg(who, limit, left);
    }
    if (definition.onlyWhenBusy) {
        if (held.isEmpty())
            return tr("Active — none of its programs has been busier than %1 % for %2 s")
                .arg(definition.busyPercent)
                .arg(definition.busySeconds);
        return suspends ? tr("Suspending %1 while busy").arg(who)
                        : tr("Limiting %1 to %2 % while busy").arg(who, limit);
    }
    if (held.isEmpty())
        return tr("Active — none of its programs is running");
    if (suspends)
        return definition.shareLimit ? tr("Suspending %1 together").arg(who)
                                     : tr("Suspending %1").arg(who);
    return definition.shareLimit ? tr("Limiting %1 to %2 % together").arg(who, limit)
                                 : tr("Limiting %1 to %2 %").arg(who, limit);
}

QString RuleStatusText::conditions(const RuleDefinition &rule)
{
    using Status = RuleDefinition::ConditionStatus;
    using State = RuleDefinition::ConditionState;
    QStringList parts;
    if (!rule.conditionPatterns.isEmpty()) {
        const QStringList names = programs(rule.conditionPatterns);
        const QString who = listed(names);
        const bool one = names.size() == 1;
        if (rule.conditionStatus == Status::NotRunning)
            parts.append(one ? tr("%1 is not running").arg(who)
                             : tr("none of %1 is running").arg(who));
        else if (rule.conditionStatus == Status::Running && rule.conditionState == State::Anyhow)
            parts.append(one ? tr("%1 is running").arg(who) : tr("%1 are running").arg(who));
        else if (rule.conditionStatus == Status::Running &&
                 rule.conditionState == State::Foreground)
            parts.append(one ? tr("%1 is in the foreground").arg(who)
                             : tr("%1 are in the foreground").arg(who));
        else if (rule.conditionStatus == Status::Running &&
                 rule.conditionState == State::Background)
            parts.append(one ? tr("%1 runs in the background").arg(who)
                             : tr("%1 run in the background").arg(who));
    }
    if (rule.internetConnection) {
        parts.append(rule.internetConnectionStatus == RuleDefinition::ConnectionStatus::Connected
                         ? tr("the machine is online")
                         : tr("the machine is offline"));
    }
    return parts.isEmpty() ? tr("its conditions hold") : parts.join(tr(" and "));
}

QString RuleStatusText::listed(const QStringList &names)
{
    if (names.size() <= 1)
        return names.value(0);
    const int named = names.size() > 4 ? 3 : names.size() - 1;
    const QString first = QStringList(names.mid(0, named)).join(QStringLiteral(", "));
    return names.size() > 4 ? tr("%1 and %2 more").arg(first).arg(names.size() - named)
                            : tr("%1 and %2").arg(first, names.last());
}

QStringList RuleStatusText::programs(const QStringList &paths)
{
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    QStringList names;
    for (const QString &path : paths)
        names.append(path.section(separators, -1));
    names.removeDuplicates();
    names.removeAll(QString());
    return names;
}
