#include "rules/Rule.h"

#include "process/KvProcessGovernor.h"
#include "rules/RulePattern.h"
#include "support/KvLog.h"

#include <QDir>
#include <QTimerEvent>

namespace {

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

Rule::Rule(unsigned id, KvProcessGovernor *governor, RuleContext *sharedContext)
    : governor(governor)
    , ownContext(sharedContext ? nullptr : std::make_unique<RuleContext>(governor))
    , context(sharedContext ? sharedContext : ownContext.get())
    , m_options(id)
{
    connect(governor, &KvProcessGovernor::capLost, this, &Rule::on_governor_capLost);
}

Rule::~Rule()
{
    if (m_state == RuleState::Active)
        deactivate();
}

const RuleSettings &Rule::settings()
{
    const quint64 writes = KvSettings::writeCount();
    if (!settingsRead || writes != settingsWriteCount) {
        m_settings.read(m_options);
        settingsRead = true;
        settingsWriteCount = writes;
        conditionMatchesCurrent = false;
        reportUnusableValues();
    }
    return m_settings;
}

void Rule::reportUnusableValues()
{
    QSet<QString> unusable;
    for (const RuleSettings::Unusable &value : qAsConst(m_settings.unusable)) {
        const QString key = QLatin1String(value.key) + QLatin1Char('=') + value.storedText;
        unusable.insert(key);
        if (!reportedUnusable.contains(key)) {
            kvCritical(lcCorvane) << "rule \"" << m_settings.name << "\": stored " << value.key
                                  << " \"" << value.storedText << "\" cannot be used; "
                                  << value.instead;
        }
    }
    reportedUnusable = unusable;
}

const QVector<QSet<DWORD>> &Rule::conditionMatches()
{
    const QList<RulePattern> &conditions = settings().conditions;
    const quint64 version = governor->processTableVersion();
    if (conditionMatchesCurrent && conditionMatchesVersion == version)
        return m_conditionMatches;
    m_conditionMatches = QVector<QSet<DWORD>>(conditions.size());
    const auto &processes = governor->processes();
    for (auto it = processes.cbegin(); it != processes.cend(); ++it)
        matchConditions(**it);
    conditionMatchesCurrent = true;
    conditionMatchesVersion = version;
    return m_conditionMatches;
}

bool Rule::takeTableChange()
{
    const quint64 version = governor->processTableVersion();
    // Nothing changed: an end of a process the table did not hold.
    if (!conditionMatchesCurrent || version == conditionMatchesVersion)
        return false;
    if (version != conditionMatchesVersion + 1) {
        conditionMatchesCurrent = false;
        return false;
    }
    conditionMatchesVersion = version;
    return true;
}

void Rule::matchConditions(const KvProcessInfo &process)
{
    const QList<RulePattern> &conditions = m_settings.conditions;
    const QString path = process.fileInfo.filePath();
    for (int i = 0; i < conditions.size(); ++i) {
        if (conditions.at(i).matches(path))
            m_conditionMatches[i].insert(process.processId);
        else
            m_conditionMatches[i].remove(process.processId);
    }
}

void Rule::followStart(const KvProcessInfo &process)
{
    if (takeTableChange())
        matchConditions(process);
}

void Rule::followEnd(DWORD id)
{
    if (!takeTableChange())
        return;
    for (QSet<DWORD> &matches : m_conditionMatches)
        matches.remove(id);
}

bool Rule::satisfiesCondition(const QSet<DWORD> &matches, unsigned conditionState) const
{
    const KvProcessInfo &foreground = context->foreground();
    switch (conditionState) {
    case RuleOptions::Anyhow:
        return !matches.isEmpty();
    case RuleOptions::Foreground:
        return matches.contains(foreground.processId);
    case RuleOptions::Background:
        // No instance of a program counts as background while any instance
        // of it owns the foreground window.
        for (DWORD id : matches) {
            const QSharedPointer<KvProcessInfo> process = governor->processes().value(id);
            if (id != foreground.processId && process &&
                !sameFile(process->fileInfo, foreground.fileInfo))
                return true;
        }
        return false;
    default:
        return false;
    }
}

bool Rule::conditionsMet()
{
    const RuleSettings &settings = this->settings();
    if (settings.internetConnection) {
        const bool online = isOnline(context->connectivity());
        switch (settings.internetConnectionStatus) {
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

    if (settings.conditions.isEmpty())
        return true;

    const unsigned status = settings.conditionStatus;
    if (status != RuleOptions::Running && status != RuleOptions::NotRunning)
        return false;
    const QVector<QSet<DWORD>> &matches = conditionMatches();
    for (const QSet<DWORD> &matching : matches) {
        const bool matched = status == RuleOptions::NotRunning
                                 ? !matching.isEmpty()
                                 : satisfiesCondition(matching, settings.conditionState);
        // Running wants a satisfying process; NotRunning wants no match at all.
        if (matched != (status == RuleOptions::Running))
            return false;
    }
    return true;
}

bool Rule::isTarget(const KvProcessInfo &process)
{
    // The program never restrains itself, whatever a pattern matches.
    if (process.processId == context->ownProcessId() ||
        !matchesAny(settings().targets, process.fileInfo.filePath()))
        return false;
    // Nor what the user needs to undo a rule, however wide its patterns.
    const QString why = governor->whyUnrestrainable(process);
    if (why.isEmpty())
        return true;
    if (!spared.contains(process.processId)) {
        spared.insert(process.processId);
        kvInfo(lcCorvane) << "rule \"" << settings().name << "\" leaves process #"
                          << process.processId << " ("
                          << QDir::toNativeSeparators(process.fileInfo.filePath())
                          << ") alone: " << why;
    }
    return false;
}

void Rule::restrict(const KvProcessInfo &process)
{
    using Restriction = KvProcessGovernor::Restriction;
    const DWORD processId = process.processId;
    Restriction restriction;
    bool effective = false;

    switch (settings().targetAction) {
    case RuleOptions::LimitCpu:
        restriction = Restriction(KvProcessGovernor::LimitCpu, processId,
                                  governor->limitCpu(processId, settings().cpuLimit, &effective));
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
    if (settings().targets.isEmpty())
        return;
    // A copy of the table: restricting must not depend on the table staying
    // put while the governor works.
    const auto processes = governor->processes().values();
    for (const auto &entry : processes) {
        if (isTarget(*entry))
            restrict(*entry);
    }
}

void Rule::activate(bool useDelay)
{
    if (useDelay && settings().applyDelay) {
        const unsigned seconds = settings().applyDelayValue;
        timerId = startTimer(int(qint64(seconds) * 1000), Qt::VeryCoarseTimer);
        m_state = RuleState::Delayed;
        kvInfo(lcCorvane) << "rule \"" << settings().name << "\" delayed for " << seconds << "s";
        return;
    }

    restrictAllTargets();
    m_state = RuleState::Active;
    kvInfo(lcCorvane) << "rule \"" << settings().name << "\" activated";
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
    kvInfo(lcCorvane) << "rule \"" << settings().name << "\" deactivated";
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
    if (settings().enabled && conditionsMet())
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
    if (ownContext)
        ownContext->setConnectivity(newConnectivity);
    if (!settings().enabled)
        return;

    reevaluate();
}

void Rule::on_processNotifier_ended(DWORD id)
{
    followEnd(id);
    spared.remove(id);
    if (!settings().enabled)
        return;

    switch (settings().conditionStatus) {
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

void Rule::on_processNotifier_started(const KvProcessInfo &processInfo)
{
    followStart(processInfo);
    if (!settings().enabled)
        return;

    // A start may meet the conditions or break them; so may a known process
    // that executed another program, leaving a condition's matches.
    if (m_state != RuleState::Active || !conditionsMet()) {
        reevaluate();
        return;
    }
    // While the rule holds, a target that starts is restricted at once when
    // the rule waits for programs to run, and at the next activation when it
    // waits for them not to. (Delayed: the end of the delay restricts
    // whatever runs then.)
    if (settings().conditionStatus == RuleOptions::Running && isTarget(processInfo))
        restrict(processInfo);
}

void Rule::on_winEventNotifier_notify(KvWinEventInfo winEventInfo)
{
    if (ownContext)
        ownContext->followForegroundWindow(winEventInfo.hwnd);

    const RuleSettings &settings = this->settings();
    if (!settings.enabled)
        return;
    if (settings.conditionStatus == RuleOptions::NotRunning)
        return;
    if (settings.conditionState == RuleOptions::Anyhow)
        return;

    reevaluate();
}

void Rule::on_governor_capLost(DWORD processId)
{
    // Another restriction of the rule may still hold the process.
    if (governor->holds(restrictionGroupId, processId) || !m_restrictedProcessIds.remove(processId))
        return;
    emit statusChanged();
}
