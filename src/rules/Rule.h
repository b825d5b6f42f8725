#pragma once

#include "notifiers/KvWinEventInfo.h"
#include "platform/KvPlatformConnectivity.h"
#include "platform/KvPlatformTypes.h"
#include "process/KvProcessInfo.h"
#include "rules/RuleContext.h"
#include "rules/RuleOptions.h"
#include "rules/RuleSettings.h"
#include "rules/RuleState.h"

#include <QObject>
#include <QSet>
#include <QVector>

#include <memory>

class KvProcessGovernor;

// The live form of one stored rule. It follows the foreground window and the
// connectivity, re-evaluates its conditions at every event it receives, and
// moves between Inactive, Delayed and Active. Entering Active applies the
// rule's action to every running target through the governor; leaving it
// lifts everything the rule did in one call.
//
// A rule keeps what it read of its settings only until the store is written
// again (by the rule dialog, the check box, anyone through KvSettings), so an
// edit applies from the next event on.
//
// Its conditions are not checked against the whole process table at every
// event: for each condition pattern the rule keeps the processes of the
// table that match it, brings that up to date at every start and end, and
// builds it anew from the table whenever it may have missed a change.
class Rule : public QObject
{
    Q_OBJECT

public:
    // The rule starts Inactive and is not evaluated here. Without a shared
    // context it reads the current foreground process and connectivity
    // itself and follows them in its slots; with one, whoever shares it keeps
    // it up to date before the rule hears of a change.
    Rule(unsigned id, KvProcessGovernor *governor, RuleContext *sharedContext = nullptr);
    // An Active rule lifts its restrictions; a Delayed one only drops its
    // timer.
    ~Rule() override;

    bool conditionsMet();
    // Delays when useDelay is set and the rule asks for a delay, otherwise
    // restricts every running target at once. Called on an Inactive rule.
    void activate(bool useDelay);
    // Cancels the delay or lifts every restriction the rule made.
    void deactivate();
    // Activates (with its delay) an Inactive rule that is enabled and whose
    // conditions hold, as when it is loaded, added or edited.
    void activateIfApplicable();

    // Whether the process matches a pattern of the target list.
    bool isTarget(const KvProcessInfo &process);

    RuleState state() const { return m_state; }
    // The targets on which a restriction of this rule is in force.
    const QSet<DWORD> &restrictedProcessIds() const { return m_restrictedProcessIds; }
    RuleOptions &options() { return m_options; }
    const RuleOptions &options() const { return m_options; }
    // What the options held when last read, read again if the store has been
    // written since.
    const RuleSettings &settings();
    // What the rule acts on now: its settings as last read, without reading
    // the store again.
    const RuleSettings &lastSettings() const { return m_settings; }

signals:
    // The rule changed its status by itself, on an event or at the end of
    // its delay, so the status icon of its row is out of date.
    void statusChanged();

public slots:
    void on_networkNotifier_connectivityChanged(NLM_CONNECTIVITY newConnectivity);
    void on_processNotifier_ended(DWORD id);
    void on_processNotifier_started(const KvProcessInfo &processInfo);
    void on_winEventNotifier_notify(KvWinEventInfo winEventInfo);
    void on_governor_capLost(DWORD processId);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // Says once what the stored values hold that the rule cannot use.
    void reportUnusableValues();
    // Whether one of the processes that match a condition pattern satisfies
    // a Running condition, foreground state included.
    bool satisfiesCondition(const QSet<DWORD> &matches, unsigned conditionState) const;
    // The processes of the table that match each condition pattern, built
    // anew when the table changed unseen or the settings were read again.
    const QVector<QSet<DWORD>> &conditionMatches();
    // Whether the matches are current but for the one change of the table
    // that the event at hand made (the governor hears of it first), which
    // the caller then follows; any other change has them built anew.
    bool takeTableChange();
    // Files the process under the condition patterns it matches, and takes
    // it out of the others, by the settings last read.
    void matchConditions(const KvProcessInfo &process);
    // Follow one start or end into the matches.
    void followStart(const KvProcessInfo &process);
    void followEnd(DWORD id);
    void restrict(const KvProcessInfo &process);
    void restrictAllTargets();
    // An inactive rule whose conditions now hold is activated (or delayed).
    void activateIfConditionsMet();
    // After a change that can make the conditions hold or fail: activates an
    // inactive rule, or lifts an active or delayed one whose conditions failed.
    void reevaluate();

    int timerId = 0;
    KvProcessGovernor *governor;
    std::unique_ptr<RuleContext> ownContext;
    RuleContext *context;
    QSet<DWORD> m_restrictedProcessIds;
    // Targets left alone because the user needs them, said once each.
    QSet<DWORD> spared;
    int restrictionGroupId = -1;
    RuleOptions m_options;
    RuleSettings m_settings;
    bool settingsRead = false;
    // The unusable values reported, as "key=value".
    QSet<QString> reportedUnusable;
    quint64 settingsWriteCount = 0;
    QVector<QSet<DWORD>> m_conditionMatches;
    bool conditionMatchesCurrent = false;
    // The governor's table version that the matches reflect.
    quint64 conditionMatchesVersion = 0;
    RuleState m_state = RuleState::Inactive;
};
