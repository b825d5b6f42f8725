#include "ui/RemovedRule.h"

#include "rules/KvSettings.h"
#include "rules/RuleStore.h"

RemovedRule::RemovedRule(unsigned id)
    : ruleId(id)
{
    KvSettings settings;
    settings.beginGroup(QLatin1String(RuleStore::rulesGroup) + QLatin1Char('/') +
                        RuleStore::groupName(id));
    for (const QString &key : settings.allKeys())
        keys.append({key, settings.value(key)});
}

QString RemovedRule::name() const
{
    for (const auto &key : keys) {
        if (key.first == QLatin1String(RuleStore::nameKey))
            return key.second.toString();
    }
    return QString();
}

bool RemovedRule::restore() const
{
    KvSettings settings;
    settings.beginGroup(QLatin1String(RuleStore::rulesGroup));
    if (settings.childGroups().contains(RuleStore::groupName(ruleId)))
        return false;
    settings.beginGroup(RuleStore::groupName(ruleId));
    for (const auto &key : keys)
        settings.setValue(key.first, key.second);
    // Back in the user's file at once, as the dialog's writes are.
    settings.publish();
    return true;
}
