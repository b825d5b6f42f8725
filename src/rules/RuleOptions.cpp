#include "rules/RuleOptions.h"

QStringList RuleOptions::keys()
{
    return {QLatin1String(nameKey),
            QLatin1String(enabledKey),
            QLatin1String(conditionProcessesKey),
            QLatin1String(internetConnectionKey),
            QLatin1String(internetConnectionStatusKey),
            QLatin1String(conditionStatusKey),
            QLatin1String(conditionStateKey),
            QLatin1String(targetProcessesKey),
            QLatin1String(targetActionKey),
            QLatin1String(cpuLimitKey),
            QLatin1String(applyDelayKey),
            QLatin1String(applyDelayValueKey)};
}

RuleOptions::RuleOptions(unsigned id)
    : id(id)
{
    beginGroup(QLatin1String(rulesGroup));
    beginGroup(groupName(id));
}

RuleOptions::~RuleOptions() = default;

QString RuleOptions::groupName(unsigned id)
{
    return QStringLiteral("{%1}").arg(id, 0, 16, QLatin1Char(' '));
}

unsigned RuleOptions::idFromGroupName(const QString &groupName)
{
    bool parsed = false;
    const unsigned id = groupName.mid(1, groupName.size() - 2).toUInt(&parsed, 16);
    return parsed ? id : 0u;
}

const char *RuleOptions::listKey(int which)
{
    switch (which) {
    case Condition:
        return conditionProcessesKey;
    case Target:
        return targetProcessesKey;
    default:
        return nullptr;
    }
}

QStringList RuleOptions::selectedProcesses(int which)
{
    const char *key = listKey(which);
    return key ? readStringArray(QLatin1String(key)) : QStringList();
}

void RuleOptions::setSelectedProcesses(int which, const QStringList &patterns)
{
    if (const char *key = listKey(which))
        writeStringArray(QLatin1String(key), patterns);
}

QString RuleOptions::name() const
{
    return value(QLatin1String(nameKey)).toString();
}

bool RuleOptions::enabled() const
{
    return toFlag(value(QLatin1String(enabledKey)));
}

bool RuleOptions::internetConnection() const
{
    return toFlag(value(QLatin1String(internetConnectionKey)));
}

unsigned RuleOptions::internetConnectionStatus() const
{
    return toUnsigned(value(QLatin1String(internetConnectionStatusKey)));
}

unsigned RuleOptions::conditionStatus() const
{
    return toUnsigned(value(QLatin1String(conditionStatusKey)));
}

unsigned RuleOptions::conditionState() const
{
    return toUnsigned(value(QLatin1String(conditionStateKey)));
}

unsigned RuleOptions::targetAction() const
{
    return toUnsigned(value(QLatin1String(targetActionKey)));
}

unsigned RuleOptions::cpuLimit() const
{
    return toUnsigned(value(QLatin1String(cpuLimitKey)));
}

bool RuleOptions::applyDelay() const
{
    return toFlag(value(QLatin1String(applyDelayKey)));
}

unsigned RuleOptions::applyDelayValue() const
{
    return toUnsigned(value(QLatin1String(applyDelayValueKey)));
}

void RuleOptions::setEnabled(bool enabled)
{
    setValue(QLatin1String(enabledKey), enabled ? int(Qt::Checked) : int(Qt::Unchecked));
}
