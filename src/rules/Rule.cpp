#include "rules/Rule.h"

#include "platform/KvPlatformProcesses.h"
#include "rules/RuleContext.h"
#include "support/KvLog.h"

#include <QDir>
#include <QThread>

#include <algorithm>

Rule::Rule(const RuleDefinition &definition, RuleContext &context)
    : context(context)
    , m_definition(definition)
    , busyWatch(QThread::idealThreadCount())
{
    reportUnusableValues({});
    busyTimer.setInterval(1000);
    connect(&busyTimer, &QTimer::timeout, this, &Rule::sampleBusy);
    delayTimer.setSingleShot(true);
    // Exact, so that the seconds it says are left are those it waits.
    delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&delayTimer, &QTimer::timeout, this, [this] {
        activate(false);
        emit statusChanged();
    });
}

Rule::~Rule()
{
    if (m_state == RuleState::Active)
        deactivate();
}

void Rule::setDefinition(const RuleDefinition &definition)
{
    const QList<RuleDefinition::Unusable> reported = m_definition.unusable;
    m_definition = definition;
    conditionMatchesCurrent = false;
    reportUnusableValues(reported);
}

void Rule::reportUnusableValues(const QList<RuleDefinition::Unusable> &reportedBefore)
{
    for (const RuleDefinition::Unusable &value : qAsConst(m_definition.unusable)) {
        if (reportedBefore.contains(value))
            continue;
        kvCritical(lcCorvane) << "rule \"" << m_definition.name << "\": stored " << value.key
                              << " \"" << value.storedText << "\" cannot be used; "
                              << value.instead;
    }
}

const RuleConditions::Matches &Rule::conditionMatches()
{
    const quint64 version = context.governor.processTableVersion();
    if (conditionMatchesCurrent && conditionMatchesVersion == version)
        return m_conditionMatches;
    m_conditionMatches = RuleConditions::match(m_definition, context.governor.processes());
    conditionMatchesCurrent = true;
    conditionMatchesVersion = version;
    return m_conditionMatches;
}

bool Rule::takeTableChange()
{
    const quint64 version = context.governor.processTableVersion();
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

bool Rule::conditionsMet()
{
    const bool needMatches = !m_definition.conditions.isEmpty();
    static const RuleConditions::Matches none;
    return RuleConditions::met(m_definition, needMatches ? conditionMatches() : none,
                               context.governor.processes(), context.foreground,
                               context.connectivity);
}

bool Rule::isTarget(const KvProcessInfo &process)
{
    return RuleConditions::isTarget(m_definition, process) && mayRestrain(process);
}

bool Rule::restrainable(const KvProcessInfo &process) const
{
    // The program never restrains itself, whatever a pattern matches; nor
    // what the user needs to undo a rule, however wide its patterns.
    return process.processId != context.ownProcessId &&
           context.governor.whyUnrestrainable(process).isEmpty();
}

bool Rule::mayRestrain(const KvProcessInfo &process)
{
    if (restrainable(process))
        return true;
    if (process.processId != context.ownProcessId && !spared.contains(process.processId)) {
        spared.insert(process.processId);
        kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" leaves process #"
                          << process.processId << " ("
                          << QDir::toNativeSeparators(process.fileInfo.filePath())
                          << ") alone: " << context.governor.whyUnrestrainable(process);
    }
    return false;
}

QList<quint32> Rule::runningTargets() const
{
    QList<quint32> targets;
    const auto &processes = context.governor.processes();
    for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
        const KvProcessInfo &process = **it;
        if (RuleConditions::isTarget(m_definition, process) && restrainable(process))
            targets.append(process.processId);
    }
    return targets;
}

QList<quint32> Rule::heldProcessIds() const
{
    QList<quint32> ids;
    if (m_state == RuleState::Delayed && !watchesBusy())
        ids = runningTargets();
    else if (m_state == RuleState::Active)
        ids = m_restrictedProcessIds.values();
    std::sort(ids.begin(), ids.end());
    return ids;
}

int Rule::delayLeft() const
{
    if (m_state != RuleState::Delayed)
        return 0;
    return int((delayTimer.remainingTime() + 999) / 1000);
}

template<class Change> void Rule::announcingRestraint(const Change &change)
{
    const bool before = m_restrictedProcessIds.isEmpty();
    change();
    if (m_state == RuleState::Active && before != m_restrictedProcessIds.isEmpty())
        emit statusChanged();
}

void Rule::restrict(const QList<quint32> &processIds)
{
    KvProcessGovernor::Action action;
    switch (m_definition.action) {
    case RuleDefinition::Action::LimitCpu:
        action = KvProcessGovernor::Action::LimitCpu;
        break;
    case RuleDefinition::Action::Suspend:
        action = KvProcessGovernor::Action::Suspend;
        break;
    default:
        return;
    }
    // Kept also when it failed, as the governor holds it; but only a
    // restriction in force makes the rule "restricting".
    const QList<quint32> inForce = context.governor.holdAll(
        restrictionGroupId, action, processIds, m_definition.cpuLimit, m_definition.shareLimit);
    if (m_definition.shareLimit)
        family.unite(QSet<quint32>(processIds.cbegin(), processIds.cend()));
    m_restrictedProcessIds.unite(QSet<quint32>(inForce.cbegin(), inForce.cend()));
}

void Rule::restrictAllTargets()
{
    if (m_definition.targets.isEmpty())
        return;
    // A copy of the table: restricting must not depend on the table staying
    // put while the governor works.
    const auto processes = context.governor.processes().values();
    QList<quint32> held;
    for (const auto &entry : processes) {
        if (isTarget(*entry))
            held.append(entry->processId);
    }
    if (m_definition.shareLimit)
        held += descendantsOf(held, processes);
    // All in one step: a family of thousands is held as fast as a few.
    restrict(held);
    if (!m_definition.shareLimit)
        return;
    kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" holds "
                      << m_restrictedProcessIds.size() << " processes " << familyHold();
}

QList<quint32> Rule::descendantsOf(const QList<quint32> &targets,
                                   const QList<QSharedPointer<KvProcessInfo>> &processes)
{
    QMultiHash<quint32, const KvProcessInfo *> children;
    for (const auto &entry : processes) {
        if (entry->parentProcessId != entry->processId)
            children.insert(entry->parentProcessId, entry.data());
    }
    // Parents before children, each once however the ids were given.
    QSet<quint32> found(targets.cbegin(), targets.cend());
    QList<quint32> descendants;
    QList<quint32> parents = targets;
    while (!parents.isEmpty()) {
        const quint32 parent = parents.takeLast();
        for (auto it = children.constFind(parent); it != children.cend() && it.key() == parent;
             ++it) {
            const KvProcessInfo &child = **it;
            if (found.contains(child.processId) || !mayRestrain(child))
                continue;
            found.insert(child.processId);
            descendants.append(child.processId);
            parents.append(child.processId);
        }
    }
    return descendants;
}

void Rule::join(const KvProcessInfo &process)
{
    restrict({process.processId});
    if (!m_restrictedProcessIds.contains(process.processId))
        return;
    kvInfo(lcCorvane) << "process #" << process.processId << " ("
                      << QDir::toNativeSeparators(process.fileInfo.filePath()) << ") joins rule \""
                      << m_definition.name << "\", now " << m_restrictedProcessIds.size()
                      << " processes " << familyHold();
}

QString Rule::familyHold() const
{
    if (m_definition.action == RuleDefinition::Action::Suspend)
        return QStringLiteral("suspended together");
    return QStringLiteral("under one limit of %1%").arg(m_definition.cpuLimit);
}

void Rule::activate(bool useDelay)
{
    if (useDelay && m_definition.applyDelay) {
        const unsigned seconds = m_definition.applyDelayValue;
        delayTimer.start(int(qint64(seconds) * 1000));
        m_state = RuleState::Delayed;
        kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" delayed for " << seconds << "s";
        return;
    }
    if (watchesBusy())
        startBusyWatch();
    else
        restrictAllTargets();
    m_state = RuleState::Active;
    kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" activated";
}

void Rule::deactivate()
{
    if (delayTimer.isActive()) {
        delayTimer.stop();
    } else {
        if (m_definition.shareLimit) {
            kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" lets go of the "
                              << m_restrictedProcessIds.size() << " processes it held "
                              << familyHold();
        }
        busyTimer.stop();
        busyWatch.clear();
        context.governor.lift(busyGroups.values() << restrictionGroupId);
        busyGroups.clear();
        restrictionGroupId = -1;
        m_restrictedProcessIds.clear();
        family.clear();
    }
    m_state = RuleState::Inactive;
    kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" deactivated";
}

void Rule::activateIfApplicable()
{
    if (m_definition.enabled && conditionsMet())
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

void Rule::followConnectivity()
{
    if (m_definition.enabled)
        reevaluate();
}

void Rule::followEnd(quint32 processId)
{
    if (takeTableChange()) {
        for (QSet<quint32> &matches : m_conditionMatches)
            matches.remove(processId);
    }
    spared.remove(processId);
    family.remove(processId);
    // What was held of it ended with it: its group is empty.
    busyWatch.forget(processId);
    if (busyGroups.contains(processId))
        context.governor.lift(busyGroups.take(processId));
    // Whatever the status: one without conditions holds even when unknown.
    announcingRestraint([&] { m_restrictedProcessIds.remove(processId); });
    if (!m_definition.enabled)
        return;
    switch (m_definition.conditionStatus) {
    case RuleDefinition::ConditionStatus::Running:
        if (m_state == RuleState::Inactive || conditionsMet())
            return;
        deactivate();
        emit statusChanged();
        return;
    case RuleDefinition::ConditionStatus::NotRunning:
        if (m_state == RuleState::Inactive)
            activateIfConditionsMet();
        return;
    default:
        return;
    }
}

void Rule::followStart(const KvProcessInfo &process)
{
    if (takeTableChange())
        RuleConditions::file(m_definition, process, m_conditionMatches);
    if (!m_definition.enabled)
        return;
    // A start may meet the conditions or break them; so may a known process
    // that executed another program, leaving a condition's matches.
    if (m_state != RuleState::Active || !conditionsMet()) {
        reevaluate();
        return;
    }
    // Watched from its start; one held that runs another program now is
    // held until it calms down.
    if (watchesBusy()) {
        if (isTarget(process))
            busyWatch.watch(process.processId);
        else if (!busyWatch.isHeld(process.processId))
            busyWatch.forget(process.processId);
        return;
    }
    // What the family starts joins it at once (it runs under the family's
    // limit already where the system has children inherit it); a member that
    // ran another program stays as it is.
    if (m_definition.shareLimit && !family.contains(process.processId) &&
        family.contains(process.parentProcessId) && mayRestrain(process)) {
        announcingRestraint([&] { join(process); });
        return;
    }
    // While the rule holds, a target that starts is restricted at once when
    // the rule waits for programs to run, and at the next activation when it
    // waits for them not to. (Delayed: the end of the delay restricts
    // whatever runs then.)
    if (m_definition.conditionStatus != RuleDefinition::ConditionStatus::Running ||
        family.contains(process.processId) || !isTarget(process))
        return;
    announcingRestraint(
        [&] { m_definition.shareLimit ? join(process) : restrict({process.processId}); });
}

void Rule::followForeground()
{
    // The window the user works in is no hog, however busy.
    const quint32 foreground = context.foreground.processId;
    if (watchesBusy() && m_state == RuleState::Active && busyWatch.setForeground(foreground)) {
        letGoOfBusy(foreground, QStringLiteral("it is in the foreground"));
        emit statusChanged();
    }
    if (!m_definition.enabled ||
        m_definition.conditionStatus == RuleDefinition::ConditionStatus::NotRunning ||
        m_definition.conditionState == RuleDefinition::ConditionState::Anyhow)
        return;
    reevaluate();
}

void Rule::followCapLost(quint32 processId)
{
    // Another restriction of the rule may still hold the process.
    const int group = busyGroups.value(processId, restrictionGroupId);
    if (context.governor.holds(group, processId) || !m_restrictedProcessIds.remove(processId))
        return;
    // Held for being busy, it is watched again.
    if (busyGroups.remove(processId)) {
        context.governor.lift(group);
        busyWatch.release(processId);
    }
    emit statusChanged();
}

void Rule::startBusyWatch()
{
    busyWatch.clear();
    if (m_definition.action == RuleDefinition::Action::Unknown)
        return;
    const bool caps = m_definition.action == RuleDefinition::Action::LimitCpu;
    busyWatch.setTerms({m_definition.busyPercent, m_definition.busySeconds,
                        m_definition.calmSeconds, caps ? m_definition.cpuLimit : 0});
    busyWatch.setForeground(context.foreground.processId);
    const auto &processes = context.governor.processes();
    for (auto it = processes.cbegin(); it != processes.cend(); ++it) {
        if (!m_definition.targets.isEmpty() && isTarget(**it))
            busyWatch.watch(it.key());
    }
    busyClock.start();
    sampleBusy();
    busyTimer.start();
}

void Rule::sampleBusy()
{
    const qint64 now = busyClock.elapsed();
    QVector<BusyWatch::Sample> samples;
    samples.reserve(busyWatch.size());
    KvPlatformProcesses &platform = KvPlatformProcesses::current();
    for (const quint32 id : busyWatch.watched()) {
        BusyWatch::Sample sample = busyWatch.lastSample(id);
        const KvResult<KvProcessTimes> times =
            platform.timesSince(id, {sample.startTime, sample.cpuTime});
        if (!times)
            continue; // ended: its end is on its way
        sample.processId = id;
        sample.startTime = times.value().startTime;
        sample.cpuTime = times.value().cpuTime;
        const auto group = busyGroups.constFind(id);
        sample.timesHeldBack =
            group == busyGroups.cend() ? 0 : context.governor.timesHeldBack(*group, id).valueOr(0);
        samples.append(sample);
    }
    const QList<BusyWatch::Change> changes = busyWatch.take(now, samples);
    for (const BusyWatch::Change &change : changes) {
        const quint32 id = change.processId;
        if (change.verdict == BusyWatch::Verdict::LetGo) {
            letGoOfBusy(id, QStringLiteral("calm for %1 s, let go").arg(change.seconds));
            continue;
        }
        if (change.verdict == BusyWatch::Verdict::Ended) {
            context.governor.lift(busyGroups.take(id));
            m_restrictedProcessIds.remove(id);
            continue;
        }
        const auto action = m_definition.action == RuleDefinition::Action::Suspend
                                ? KvProcessGovernor::Action::Suspend
                                : KvProcessGovernor::Action::LimitCpu;
        // Kept also when it failed: the watch counts it held until it is
        // calm, rather than trying (and failing) again every few seconds.
        const KvProcessGovernor::Held held =
            context.governor.hold(-1, action, id, m_definition.cpuLimit);
        busyGroups.insert(id, held.groupId);
        if (!held.inForce)
            continue;
        m_restrictedProcessIds.insert(id);
        kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" holds process #" << id << " ("
                          << busyName(id) << "): busy at " << change.percent
                          << " % of the machine for " << change.seconds << " s";
    }
    if (!changes.isEmpty())
        emit statusChanged();
}

void Rule::letGoOfBusy(quint32 processId, const QString &why)
{
    const auto group = busyGroups.find(processId);
    if (group == busyGroups.end())
        return;
    if (m_restrictedProcessIds.remove(processId)) {
        kvInfo(lcCorvane) << "rule \"" << m_definition.name << "\" lets go of process #"
                          << processId << " (" << busyName(processId) << "): " << why;
    }
    context.governor.lift(*group);
    busyGroups.erase(group);
}

QString Rule::busyName(quint32 processId) const
{
    const QSharedPointer<KvProcessInfo> process = context.governor.processes().value(processId);
    return process ? process->fileInfo.fileName() : QString();
}
