#include "rules/RuleConditions.h"

namespace {

// Two records name the same executable file. Two paths that no longer exist
// on disk are not taken for one file merely because neither resolves.
bool sameFile(const KvFileInfo &a, const KvFileInfo &b)
{
    if (a.filePath() == b.filePath())
        return !a.filePath().isEmpty();
    return a == b && !a.canonicalFilePath().isEmpty();
}

} // namespace

bool RuleConditions::met(const RuleDefinition &rule, const Matches &matches,
                         const Processes &processes, const KvProcessInfo &foreground,
                         KvConnectivity connectivity)
{
    if (rule.internetConnection) {
        const bool online = connectivity != KvConnectivity();
        if (rule.internetConnectionStatus == RuleDefinition::ConnectionStatus::Connected &&
            !online)
            return false;
        if (rule.internetConnectionStatus == RuleDefinition::ConnectionStatus::Disconnected &&
            online)
            return false;
    }
    if (rule.conditions.isEmpty())
        return true;
    const bool running = rule.conditionStatus == RuleDefinition::ConditionStatus::Running;
    if (!running && rule.conditionStatus != RuleDefinition::ConditionStatus::NotRunning)
        return false;
    for (const QSet<quint32> &matching : matches) {
        // Running wants a satisfying process; NotRunning wants no match at all.
        const bool matched = running
                                 ? satisfies(rule.conditionState, matching, processes, foreground)
                                 : !matching.isEmpty();
        if (matched != running)
            return false;
    }
    return true;
}

bool RuleConditions::satisfies(RuleDefinition::ConditionState state, const QSet<quint32> &matches,
                               const Processes &processes, const KvProcessInfo &foreground)
{
    switch (state) {
    case RuleDefinition::ConditionState::Anyhow:
        return !matches.isEmpty();
    case RuleDefinition::ConditionState::Foreground:
        return matches.contains(foreground.processId);
    case RuleDefinition::ConditionState::Background:
        // No instance of a program counts as background while any instance
        // of it owns the foreground window.
        for (quint32 id : matches) {
            const QSharedPointer<KvProcessInfo> process = processes.value(id);
            if (id != foreground.processId && process &&
                !sameFile(process->fileInfo, foreground.fileInfo))
                return true;
        }
        return false;
    case RuleDefinition::ConditionState::Unknown:
        return false;
    }
    return false;
}

RuleConditions::Matches RuleConditions::match(const RuleDefinition &rule,
                                              const Processes &processes)
{
    Matches matches(rule.conditions.size());
    for (auto it = processes.cbegin(); it != processes.cend(); ++it)
        file(rule, **it, matches);
    return matches;
}

void RuleConditions::file(const RuleDefinition &rule, const KvProcessInfo &process,
                          Matches &matches)
{
    const QString path = process.fileInfo.filePath();
    for (int i = 0; i < rule.conditions.size() && i < matches.size(); ++i) {
        if (rule.conditions.at(i).matches(path))
            matches[i].insert(process.processId);
        else
            matches[i].remove(process.processId);
    }
}

bool RuleConditions::isTarget(const RuleDefinition &rule, const KvProcessInfo &process)
{
    const QString path = process.fileInfo.filePath();
    for (const RulePattern &pattern : rule.targets) {
        if (pattern.matches(path))
            return true;
    }
    return false;
}
