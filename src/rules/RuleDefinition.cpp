#include "rules/RuleDefinition.h"

bool RuleDefinition::operator==(const RuleDefinition &other) const
{
    return id == other.id && name == other.name && enabled == other.enabled &&
           conditionPatterns == other.conditionPatterns &&
           internetConnection == other.internetConnection &&
           internetConnectionStatus == other.internetConnectionStatus &&
           conditionStatus == other.conditionStatus && conditionState == other.conditionState &&
           targetPatterns == other.targetPatterns && action == other.action &&
           cpuLimit == other.cpuLimit && shareLimit == other.shareLimit &&
           applyDelay == other.applyDelay && applyDelayValue == other.applyDelayValue &&
           onlyWhenBusy == other.onlyWhenBusy && busyPercent == other.busyPercent &&
           busySeconds == other.busySeconds && calmSeconds == other.calmSeconds;
}
