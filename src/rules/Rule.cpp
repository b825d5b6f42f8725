#include "rules/Rule.h"

#include "notifiers/KvNetworkNotifier.h"
#include "platform/KvPlatformKernel.h"
#include "platform/KvPlatformWinEvents.h"
#include "process/KvProcessGovernor.h"
#include "rules/RulePattern.h"
#include "support/KvLog.h"

#include <QTimerEvent>

#include <climits>

namespace {

QList<RulePattern> compile(const QStringList &texts)
{
    QList<RulePattern> patterns;
    patterns.reserve(texts.size());
    for (const QString &text : texts)
        patterns.append(RulePattern::compiled(text));
    return patterns;
}

bool matchesAny(const QList<RulePattern> &patterns, const QString &path)
{
    for (const RulePattern &pattern : patterns) {
        if (pattern.matches(path))
            return true;
    }
    return false;
}

// Two records name the same executable file. Two paths that no longer exist
// on disk are not taken for one file merely because neither resolves.
bool sameFile(const KvFileInfo &a, const KvFileInfo &b)
{
    if (a.filePath() == b.filePath())
        return !a.filePath().isEmpty();
    return a == b && !a.canonicalFilePath().isEmpty();
}

bool isOnline(NLM_CONNECTIVITY connectivity)
{
    return (connectivity & KvConnectivityInternet) != 0;
}

} // namespace

Rule::Rule(unsigned id, KvProcessGovernor *governor)
    : governor(governor)
    , m_options(id)
{
    resolveForeground(KvPlatformWinEvents::current().getForegroundWindow());

    connectivity = KvNetworkNotifier::currentConnectivity();
}

Rule::~Rule()
{
    if (m_state == RuleState::Active)
        deactivate();
}

void Rule::resolveForeground(HWND window)
{
    KvProcessInfo owner;
    DWORD processId = KvProcessInfo::noProcessId;
    KvPlatformWinEvents::current().getWindowThreadProcessId(window, &processId);
    owner.processId = processId;
    owner.parentProcessId = KvProcessInfo::noProcessId;
    // Every rule follows every change of the foreground window. The owner is
    // nearly always in the governor's table with its path already found:
    // taking the file from there spares each rule opening the process, and
    // the file's canonical path, once worked out for the background test,
    // stays with the record for the next comparisons.
    const QSharedPointer<KvProcessInfo> known = governor->processes().value(processId);
    if (known && known->hasResolvedPath())
        owner.fileInfo = known->fileInfo;
    else
        owner.resolveFilePath();
    foreground = owner;
}

bool Rule::matchesCondition(const RulePattern &pattern, unsigned conditionState,
                            const KvProcessInfo &process) const
{
    if (!pattern.matches(process.fileInfo.filePath()))
        return false;
    switch (conditionState) {
    case RuleOptions::Anyhow:
        return true;
    case RuleOptions::Foreground:
        return process.processId == foreground.processId;
    case RuleOptions::Background:
        // No instance of a program counts as background while any instance
        // of it owns the foreground window.
        return process.processId != foreground.processId &&
               !sameFile(process.fileInfo, foreground.fileInfo);
    default:
        return false;
    }
}

bool Rule::conditionsMet()
{
    if (m_options.internetConnection()) {
        const bool online = isOnline(connectivity);
        switch (m_options.internetConnectionStatus()) {
        case RuleOptions::Connected:
            if (!online)
                return false;
            break;
        case RuleOptions::Disconnected:
            if (online)
                return false;
            break;
        default:
            break;
        }
    }

    const QStringList conditions = m_options.selectedProcesses(RuleOptions::Condition);
    if (conditions.isEmpty())
        return true;

    const unsigned status = m_options.conditionStatus();
    if (status != RuleOptions::Running && status != RuleOptions::NotRunning)
        return false;
    const unsigned conditionState = m_options.conditionState();
    const auto &processes = governor->processes();

    for (const QString &text : conditions) {
        const RulePattern pattern = RulePattern::compiled(text);
        bool matched = false;
        for (auto it = processes.cbegin(); it != processes.cend() && !matched; ++it) {
            const KvProcessInfo &process = **it;
            matched = status == RuleOptions::NotRunning
                          ? pattern.matches(process.fileInfo.filePath())
                          : matchesCondition(pattern, conditionState, process);
        }
        // Running wants a satisfying process; NotRunning wants no match at all.
        if (matched != (status == RuleOptions::Running))
            return false;
    }
    return true;
}

bool Rule::isTarget(const KvProcessInfo &process)
{
    return isTarget(process, compile(m_options.selectedProcesses(RuleOptions::Target)));
}

bool Rule::isTarget(const KvProcessInfo &process, const QList<RulePattern> &targets) const
{
    // The program never restrains itself, whatever a pattern matches.
    if (process.processId == KvPlatformKernel::current().currentProcessId())
        return false;
    return matchesAny(targets, process.fileInfo.filePath());
}

void Rule::restrict(const KvProcessInfo &process)
{
    using Restriction = KvProcessGovernor::Restriction;
    const DWORD processId = process.processId;
    Restriction restriction;
    bool effective = false;

    switch (m_options.targetAction()) {
    case RuleOptions::LimitCpu:
        restriction = Restriction(KvProcessGovernor::LimitCpu, processId,
                                  governor->limitCpu(processId, m_options.cpuLimit(), &effective));
        break;
    case RuleOptions::Suspend:
        effective = governor->suspend(processId);
        restriction = Restriction(KvProcessGovernor::Suspend, processId);
        break;
    default:
        return;
    }

    // Kept also when it failed, so that lifting the rule clears its journal
    // entry; but only a restriction in force makes the rule "restricting".
    if (restrictionGroupId == -1)
        restrictionGroupId = governor->addRestrictionGroup(restriction);
    else
        governor->appendRestriction(restrictionGroupId, restriction);
    if (effective)
        m_restrictedProcessIds.insert(processId);
}

void Rule::restrictAllTargets()
{
    const QList<RulePattern> targets = compile(m_options.selectedProcesses(RuleOptions::Target));
    if (targets.isEmpty())
        return;
    // A copy of the table: restricting must not depend on the table staying
    // put while the governor works.
    const auto processes = governor->processes().values();
    for (const auto &entry : processes) {
        if (isTarget(*entry, targets))
            restrict(*entry);
    }
}

void Rule::activate(bool useDelay)
{
    if (useDelay && m_options.applyDelay()) {
        const unsigned seconds = m_options.applyDelayValue();
        // A hand-edited delay beyond what a timer can hold waits as long as
        // a timer can, instead of overflowing into an invalid interval.
        const qint64 milliseconds = qMin<qint64>(qint64(seconds) * 1000, INT_MAX);
        timerId = startTimer(int(milliseconds), Qt::VeryCoarseTimer);
        m_state = RuleState::Delayed;
        kvInfo(lcCorvane) << "rule \"" << m_options.name() << "\" delayed for " << seconds << "s";
        return;
    }

    restrictAllTargets();
    m_state = RuleState::Active;
    kvInfo(lcCorvane) << "rule \"" << m_options.name() << "\" activated";
}

void Rule::deactivate()
{
    if (timerId != 0) {
        killTimer(timerId);
        timerId = 0;
    } else {
        governor->removeRestrictionGroup(restrictionGroupId);
        restrictionGroupId = -1;
        m_restrictedProcessIds.clear();
    }
    m_state = RuleState::Inactive;
    kvInfo(lcCorvane) << "rule \"" << m_options.name() << "\" deactivated";
}

void Rule::timerEvent(QTimerEvent *event)
{
    if (timerId == 0) {
        QObject::timerEvent(event);
        return;
    }
    killTimer(timerId);
    timerId = 0;
    activate(false);
    emit statusChanged();
}

void Rule::activateIfApplicable()
{
    if (m_options.enabled() && conditionsMet())
        activate(true);
}

void Rule::activateIfConditionsMet()
{
    if (conditionsMet()) {
        activate(true);
        emit statusChanged();
    }
}

void Rule::reevaluate()
{
    if (m_state == RuleState::Inactive)
        activateIfConditionsMet();
    else if (!conditionsMet()) {
        deactivate();
        emit statusChanged();
    }
}

void Rule::on_networkNotifier_connectivityChanged(NLM_CONNECTIVITY newConnectivity)
{
    connectivity = newConnectivity;
    if (!m_options.enabled())
        return;

    reevaluate();
}

void Rule::on_processNotifier_ended(DWORD id)
{
    if (!m_options.enabled())
        return;

    switch (m_options.conditionStatus()) {
    case RuleOptions::Running:
        if (m_state == RuleState::Inactive)
            return;
        if (conditionsMet()) {
            if (m_state == RuleState::Active)
                m_restrictedProcessIds.remove(id);
            return;
        }
        deactivate();
        emit statusChanged();
        return;
    case RuleOptions::NotRunning:
        if (m_state == RuleState::Inactive)
            activateIfConditionsMet();
        else if (m_state == RuleState::Active) {
            m_restrictedProcessIds.remove(id);
        }
        return;
    default:
        return;
    }
}

void Rule::on_processNotifier_started(KvProcessInfo processInfo)
{
    if (!m_options.enabled())
        return;

    switch (m_options.conditionStatus()) {
    case RuleOptions::Running:
        if (m_state == RuleState::Inactive)
            activateIfConditionsMet();
        else if (m_state == RuleState::Active) {
            if (isTarget(processInfo))
                restrict(processInfo);
        }
        // Delayed: the end of the delay restricts whatever runs then.
        return;
    case RuleOptions::NotRunning:
        // A target that starts now is restricted at the next activation.
        if (m_state != RuleState::Inactive && !conditionsMet()) {
            deactivate();
            emit statusChanged();
        }
        return;
    default:
        return;
    }
}

void Rule::on_winEventNotifier_notify(KvWinEventInfo winEventInfo)
{
    resolveForeground(winEventInfo.hwnd);

    if (!m_options.enabled())
        return;
    if (m_options.conditionStatus() == RuleOptions::NotRunning)
        return;
    if (m_options.conditionState() == RuleOptions::Anyhow)
        return;

    reevaluate();
}
