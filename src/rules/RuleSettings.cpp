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
    cpuLimit = options.cpuLimit();
    applyDelay = options.applyDelay();
    applyDelayValue = options.applyDelayValue();
    conditions = compile(options.selectedProcesses(RuleOptions::Condition));
    targets = compile(options.selectedProcesses(RuleOptions::Target));
}
