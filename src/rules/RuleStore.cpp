#include "rules/RuleStore.h"

#include "rules/KvSettingsFile.h"

#include <optional>

namespace {

template<class Enumeration> Enumeration choiceOf(const QVariant &value, unsigned choices)
{
    const unsigned stored = KvSettings::toUnsigned(value);
    return stored < choices ? Enumeration(stored) : Enumeration::Unknown;
}

QList<RulePattern> compile(const QStringList &texts)
{
    QList<RulePattern> patterns;
    patterns.reserve(texts.size());
    for (const QString &text : texts)
        patterns.append(RulePattern::compiled(text));
    return patterns;
}

QString storedText(const QVariant &value)
{
    return value.isValid() ? value.toString() : QStringLiteral("(missing)");
}

} // namespace

RuleStore::RuleStore(QObject *parent)
    : QObject(parent)
{
    settings.beginGroup(QLatin1String(rulesGroup));
    readAll();
    // Read again when the working copy changed since, whoever took the
    // user's file in.
    connect(&watcher, &KvSettingsWatcher::changed, this, [this] {
        if (KvSettingsFile::instance().generation() != readGeneration)
            readAgain();
    });
}

RuleStore::~RuleStore() = default;

QString RuleStore::groupName(unsigned id)
{
    return QStringLiteral("{%1}").arg(id, 0, 16);
}

unsigned RuleStore::idOf(const QString &groupName)
{
    bool parsed = false;
    const unsigned id = groupName.mid(1, groupName.size() - 2).toUInt(&parsed, 16);
    return parsed ? id : 0u;
}

const RuleDefinition *RuleStore::definition(unsigned id) const
{
    const auto found = definitions.constFind(id);
    return found == definitions.constEnd() ? nullptr : &*found;
}

RuleDefinition RuleStore::read(unsigned id)
{
    RuleDefinition rule;
    rule.id = id;
    settings.beginGroup(groupName(id));
    const auto value = [this](const char *key) { return settings.value(QLatin1String(key)); };
    rule.name = value(nameKey).toString();
    rule.enabled = KvSettings::toFlag(value(enabledKey));
    rule.conditionPatterns = settings.readStringArray(QLatin1String(conditionProcessesKey));
    rule.internetConnection = KvSettings::toFlag(value(internetConnectionKey));
    rule.internetConnectionStatus =
        choiceOf<RuleDefinition::ConnectionStatus>(value(internetConnectionStatusKey), 2);
    rule.conditionStatus = choiceOf<RuleDefinition::ConditionStatus>(value(conditionStatusKey), 2);
    rule.conditionState = choiceOf<RuleDefinition::ConditionState>(value(conditionStateKey), 3);
    rule.targetPatterns = settings.readStringArray(QLatin1String(targetProcessesKey));
    rule.action = choiceOf<RuleDefinition::Action>(value(targetActionKey), 2);
    rule.applyDelay = KvSettings::toFlag(value(applyDelayKey));
    rule.shareLimit = KvSettings::toFlag(value(shareLimitKey));
    rule.conditions = compile(rule.conditionPatterns);
    rule.targets = compile(rule.targetPatterns);

    // Values that cannot be used are brought to the nearest sound one, or
    // leave the rule without an action.
    if (rule.action == RuleDefinition::Action::Unknown) {
        rule.unusable.append({QLatin1String(targetActionKey), storedText(value(targetActionKey)),
                              QStringLiteral("the rule restrains nothing")});
    }
    // A number out of range is taken as the nearest one in range; said when
    // the rule uses it. A missing one is taken as absent, if given.
    const auto bounded = [&](const char *key, qlonglong low, qlonglong high, bool used,
                             const char *instead, std::optional<unsigned> absent = {}) {
        const QVariant stored = value(key);
        if (absent && !stored.isValid())
            return *absent;
        const qlonglong number = stored.toLongLong();
        const unsigned usable = unsigned(qBound(low, number, high));
        if (used && number != usable) {
            rule.unusable.append(
                {QLatin1String(key), storedText(stored), QString::fromLatin1(instead).arg(usable)});
        }
        return usable;
    };
    rule.cpuLimit = bounded(cpuLimitKey, 1, 100, rule.action == RuleDefinition::Action::LimitCpu,
                            "the cap is %1%");
    rule.applyDelayValue = bounded(applyDelayValueKey, 0, RuleDefinition::longestDelay,
                                   rule.applyDelay, "the delay is %1s");
    rule.onlyWhenBusy = KvSettings::toFlag(value(onlyWhenBusyKey));
    rule.busyPercent = bounded(busyPercentKey, 1, 100, rule.onlyWhenBusy,
                               "busy means %1% of the machine", rule.busyPercent);
    rule.busySeconds = bounded(busySecondsKey, 1, 600, rule.onlyWhenBusy,
                               "a process is held after %1s busy", rule.busySeconds);
    rule.calmSeconds = bounded(calmSecondsKey, 1, 3600, rule.onlyWhenBusy,
                               "a process is let go after %1s calm", rule.calmSeconds);
    // A rule that holds what is busy holds each process on its own: the
    // stored box stays as the user left it, but means nothing then.
    rule.shareLimit = rule.shareLimit && !rule.onlyWhenBusy;
    settings.endGroup();
    return rule;
}

void RuleStore::setEnabled(unsigned id, bool enabled)
{
    settings.setValue(groupName(id) + QLatin1Char('/') + QLatin1String(enabledKey),
                      enabled ? int(Qt::Checked) : int(Qt::Unchecked));
    settings.publish();
    if (!definitions.contains(id))
        return reload();
    definitions[id].enabled = enabled;
    emit ruleChanged(id);
}

void RuleStore::remove(unsigned id)
{
    settings.remove(groupName(id));
    settings.publish();
    if (!m_ids.removeOne(id))
        return;
    definitions.remove(id);
    emit ruleRemoved(id);
    emit listChanged();
}

void RuleStore::reload()
{
    // With whatever was written to the user's file meanwhile.
    KvSettingsFile::instance().takeIn();
    readAgain();
}

void RuleStore::readAll()
{
    readGeneration = KvSettingsFile::instance().generation();
    for (const QString &group : settings.childGroups()) {
        const unsigned id = idOf(group);
        m_ids.append(id);
        definitions.insert(id, read(id));
    }
}

void RuleStore::readAgain()
{
    const QList<unsigned> before = m_ids;
    QHash<unsigned, RuleDefinition> old;
    old.swap(definitions);
    m_ids.clear();
    readAll();
    announce(before, old);
}

void RuleStore::announce(const QList<unsigned> &before, const QHash<unsigned, RuleDefinition> &old)
{
    for (unsigned id : before) {
        if (!definitions.contains(id))
            emit ruleRemoved(id);
    }
    for (unsigned id : qAsConst(m_ids)) {
        const auto previous = old.constFind(id);
        if (previous == old.constEnd() || *previous != definitions.value(id) ||
            !(previous->unusable == definitions.value(id).unusable))
            emit ruleChanged(id);
    }
    if (before != m_ids)
        emit listChanged();
}
