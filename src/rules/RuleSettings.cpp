#include "rules/RuleSettings.h"

#include "rules/RuleOptions.h"

namespace {

QList<RulePattern> compile(const QStringList &texts)
{
    QList<RulePattern> patterns;
    patterns.reserve(texts.size());
    for (const QString &text : texts)
        patterns.append(RulePattern::compiled(text));
    return patterns;
}

// A stored number as it was written, sign included; 0 for anything else.
qlonglong storedNumber(const QVariant &value)
{
    return value.toLongLong();
}

QString storedText(const QVariant &value)
{
    return value.isValid() ? value.toString() : QStringLiteral("(missing)");
}

} // namespace

void RuleSettings::read(RuleOptions &options)
{
    name = options.name();
    enabled = options.enabled();
    internetConnection = options.internetConnection();
    internetConnectionStatus = options.internetConnectionStatus();
    conditionStatus = options.conditionStatus();
    conditionState = options.conditionState();
    targetAction = options.targetAction();
    applyDelay = options.applyDelay();
    conditions = compile(options.selectedProcesses(RuleOptions::Condition));
    targets = compile(options.selectedProcesses(RuleOptions::Target));

    // Values that cannot be used are brought to the nearest sound one, or
    // leave the rule without an action; each is reported once by the rule.
    unusable.clear();
    const QVariant action = options.value(QLatin1String(RuleOptions::targetActionKey));
    if (targetAction != RuleOptions::LimitCpu && targetAction != RuleOptions::Suspend) {
        unusable.append({RuleOptions::targetActionKey, storedText(action),
                         QStringLiteral("the rule restrains nothing")});
    }
    const QVariant limit = options.value(QLatin1String(RuleOptions::cpuLimitKey));
    const qlonglong percent = storedNumber(limit);
    cpuLimit = unsigned(qBound<qlonglong>(1, percent, 100));
    if (targetAction == RuleOptions::LimitCpu && percent != cpuLimit) {
        unusable.append({RuleOptions::cpuLimitKey, storedText(limit),
                         QStringLiteral("the cap is %1%").arg(cpuLimit)});
    }
    const QVariant delay = options.value(QLatin1String(RuleOptions::applyDelayValueKey));
    const qlonglong seconds = storedNumber(delay);
    applyDelayValue = unsigned(qBound<qlonglong>(0, seconds, longestDelay));
    if (applyDelay && seconds != applyDelayValue) {
        unusable.append({RuleOptions::applyDelayValueKey, storedText(delay),
                         QStringLiteral("the delay is %1s").arg(applyDelayValue)});
    }
}

bool RuleSettings::operator==(const RuleSettings &other) const
{
    return name == other.name && enabled == other.enabled &&
           internetConnection == other.internetConnection &&
           internetConnectionStatus == other.internetConnectionStatus &&
           conditionStatus == other.conditionStatus && conditionState == other.conditionState &&
           targetAction == other.targetAction && cpuLimit == other.cpuLimit &&
           applyDelay == other.applyDelay && applyDelayValue == other.applyDelayValue &&
           conditions == other.conditions && targets == other.targets;
}
