#pragma once

#include "process/KvProcessInfo.h"
#include "rules/BusyWatch.h"
#include "rules/RuleConditions.h"
#include "rules/RuleDefinition.h"
#include "rules/RuleState.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

struct RuleContext;

// The live form of one stored rule: its state machine and its delay timer.
// At every event it hears of it works out whether its conditions hold
// (RuleConditions) and moves between Inactive, Delayed and Active. Entering
// Active restrains every running target through the governor; leaving it
// lifts everything the rule did in one call.
//
// A rule that restrains its targets only while they are busy restrains
// nothing as it enters Active: from then on it samples the processor time
// of every running target once a second (BusyWatch), holds each one that
// has been busy long enough, and lets go of each that has calmed down. Its
// delay, if it has one, comes first: the watch begins once it has run out,
// so a target busy all along is held after the delay and the busy time.
class Rule : public QObject
{
    Q_OBJECT

public:
    // Starts Inactive, not evaluated.
    Rule(const RuleDefinition &definition, RuleContext &context);
    // An Active rule lifts its restrictions; a Delayed one only drops its
    // timer.
    ~Rule() override;

    const RuleDefinition &definition() const { return m_definition; }
    // What the store holds of the rule now; whoever changed it decides
    // what follows (see RulesEngine).
    void setDefinition(const RuleDefinition &definition);

    bool conditionsMet();
    // Delays when useDelay is set and the rule asks for a delay, otherwise
    // restricts every running target at once. Called on an Inactive rule.
    void activate(bool useDelay);
    // Cancels the delay or lifts every restriction the rule made.
    void deactivate();
    // Activates (with its delay) an Inactive rule that is enabled and whose
    // conditions hold, as when it is loaded, added or edited.
    void activateIfApplicable();

    RuleState state() const { return m_state; }
    // While Delayed: the seconds left until the action, rounded up; 0 otherwise.
    int delayLeft() const;
    // The targets on which a restriction of this rule is in force.
    const QSet<quint32> &restrictedProcessIds() const { return m_restrictedProcessIds; }
    // The processes the rule holds, in the order of their ids: while it
    // waits for its delay, the running targets it will restrain when the
    // delay ends (none when it waits for them to be busy); nothing while it
    // is Inactive.
    QList<quint32> heldProcessIds() const;

    // The events, as the engine hands them on (the governor's table and the
    // context's foreground and connectivity are up to date already).
    void followStart(const KvProcessInfo &process);
    void followEnd(quint32 processId);
    void followForeground();
    void followConnectivity();
    void followCapLost(quint32 processId);

signals:
    // The rule changed its status by itself, on an event or at the end of
    // its delay, or began or ceased to restrain anything, so the status
    // icon of its row is out of date.
    void statusChanged();

private:
    // Whether the process is a target that may be restrained; one that may
    // not is named in the log, once.
    bool isTarget(const KvProcessInfo &process);
    bool mayRestrain(const KvProcessInfo &process);
    bool restrainable(const KvProcessInfo &process) const;
    // The running targets that the rule would restrain now.
    QList<quint32> runningTargets() const;
    // The condition matches, built anew when the table changed unseen.
    const RuleConditions::Matches &conditionMatches();
    // Whether the matches are current but for the one change of the table
    // that the event at hand made (the governor hears of it first), which
    // the caller then follows; any other change has them built anew.
    bool takeTableChange();
    void restrict(const QList<quint32> &processIds);
    // Says that an Active rule began or ceased to restrain anything, where
    // the call in between changed that (what it restrains otherwise changes
    // far too often to be announced at each process).
    template<class Change> void announcingRestraint(const Change &change);
    void restrictAllTargets();
    // With the limit shared: what the targets started before, at any depth,
    // that the rule may restrain; parents before children.
    QList<quint32> descendantsOf(const QList<quint32> &targets,
                                 const QList<QSharedPointer<KvProcessInfo>> &processes);
    // A process that the family started, or a target that starts, joins
    // the family's one limit.
    void join(const KvProcessInfo &process);
    // How a shared restriction is told in the log.
    QString familyHold() const;
    void activateIfConditionsMet();
    // After a change that can make the conditions hold or fail: activates an
    // inactive rule, or lifts an active or delayed one whose conditions failed.
    void reevaluate();
    // Says once what the stored values hold that the rule cannot use.
    void reportUnusableValues(const QList<RuleDefinition::Unusable> &reportedBefore);
    // Restraining only what is busy: the watch over the running targets.
    bool watchesBusy() const { return m_definition.onlyWhenBusy; }
    void startBusyWatch();
    // One round of the watch: samples every target watched, and holds and
    // lets go of what the samples say.
    void sampleBusy();
    // Lets go of one process held for being busy, saying why if it was in
    // force.
    void letGoOfBusy(quint32 processId, const QString &why);
    QString busyName(quint32 processId) const;

    RuleContext &context;
    RuleDefinition m_definition;
    // Runs while the rule waits for its delay.
    QTimer delayTimer;
    QSet<quint32> m_restrictedProcessIds;
    // With the limit shared: every process held, in force or not, whose
    // starts join the family.
    QSet<quint32> family;
    // Targets left alone because the user needs them, said once each.
    QSet<quint32> spared;
    int restrictionGroupId = -1;
    BusyWatch busyWatch;
    // The restriction group of each process held for being busy: one each,
    // so that each can be let go of on its own.
    QHash<quint32, int> busyGroups;
    QTimer busyTimer;
    QElapsedTimer busyClock;
    RuleConditions::Matches m_conditionMatches;
    bool conditionMatchesCurrent = false;
    // The governor's table version that the matches reflect.
    quint64 conditionMatchesVersion = 0;
    RuleState m_state = RuleState::Inactive;
};
