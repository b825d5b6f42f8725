#pragma once

#include "notifiers/KvWinEventInfo.h"
#include "platform/KvPlatformConnectivity.h"
#include "platform/KvPlatformTypes.h"
#include "process/KvProcessInfo.h"
#include "rules/RuleOptions.h"
#include "rules/RuleState.h"

#include <QList>
#include <QObject>
#include <QSet>

class KvProcessGovernor;
class RulePattern;

// The live form of one stored rule. It follows the foreground window and the
// connectivity, re-evaluates its conditions at every event it receives, and
// moves between Inactive, Delayed and Active. Entering Active applies the
// rule's action to every running target through the governor; leaving it
// lifts everything the rule did in one call.
//
// A rule keeps no copy of its settings: every decision reads the store again
// through its options, so an edit applies from the next event on.
class Rule : public QObject
{
    Q_OBJECT

public:
    // Reads the current foreground process and connectivity; the rule starts
    // Inactive and is not evaluated here.
    Rule(unsigned id, KvProcessGovernor *governor);
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

signals:
    // The rule changed its status by itself, on an event or at the end of
    // its delay, so the status icon of its row is out of date.
    void statusChanged();

public slots:
    void on_networkNotifier_connectivityChanged(NLM_CONNECTIVITY newConnectivity);
    void on_processNotifier_ended(DWORD id);
    void on_processNotifier_started(KvProcessInfo processInfo);
    void on_winEventNotifier_notify(KvWinEventInfo winEventInfo);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    // Whether the process satisfies one pattern of a Running condition,
    // foreground state included.
    bool matchesCondition(const RulePattern &pattern, unsigned conditionState,
                          const KvProcessInfo &process) const;
    bool isTarget(const KvProcessInfo &process, const QList<RulePattern> &targets) const;
    void restrict(const KvProcessInfo &process);
    void restrictAllTargets();
    // An inactive rule whose conditions now hold is activated (or delayed).
    void activateIfConditionsMet();
    // After a change that can make the conditions hold or fail: activates an
    // inactive rule, or lifts an active or delayed one whose conditions failed.
    void reevaluate();
    void resolveForeground(HWND window);

    int timerId = 0;
    KvProcessGovernor *governor;
    KvProcessInfo foreground;
    NLM_CONNECTIVITY connectivity = 0;
    QSet<DWORD> m_restrictedProcessIds;
    int restrictionGroupId = -1;
    RuleOptions m_options;
    RuleState m_state = RuleState::Inactive;
};
