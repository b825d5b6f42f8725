#pragma once

#include "notifiers/KvForegroundNotifier.h"
#include "notifiers/KvNetworkNotifier.h"
#include "notifiers/KvProcessNotifier.h"
#include "process/KvProcessGovernor.h"
#include "rules/RuleContext.h"
#include "rules/RuleStore.h"

#include <QHash>
#include <QObject>

#include <memory>

class Rule;

// The rules engine: the notifiers, the governor with its table of running
// processes, the stored rules and one live Rule for each. It hands every
// event on in a fixed order: the governor's table first, then what every
// rule shares (the foreground process, the connectivity), then each rule in
// the store's order. Whatever changes the stored rules (the window, another
// copy of the program, a hand edit) reaches the live rules through the
// store, and is followed as the window's own change would be:
//
// - a rule added starts and acts if its conditions hold;
// - a rule switched off lifts what it holds; one switched on acts if its
//   conditions hold;
// - a rule at work that is changed otherwise is lifted and, if it still
//   applies, applied again;
// - a rule removed lifts what it holds.
//
// Destroying the engine lifts everything while the governor is still there.
class RulesEngine : public QObject
{
    Q_OBJECT

public:
    // journalDirectory: where the governor's journals go; empty for the
    // application's local data directory.
    explicit RulesEngine(QObject *parent = nullptr, const QString &journalDirectory = QString());
    ~RulesEngine() override;

    RuleStore &store() { return m_store; }
    const RuleStore &store() const { return m_store; }
    KvProcessGovernor &governor() { return m_governor; }
    const KvProcessNotifier &processNotifier() const { return m_processNotifier; }
    // The live rule of a stored rule; nullptr for an id the store does not
    // hold.
    Rule *rule(unsigned id) const;
    // The end of the run: every rule lets go of what it holds at once, and
    // nothing that comes after (an event still queued, a change of the
    // store) restrains anything anew.
    void stop();

signals:
    // The rule's state or what it restrains changed.
    void ruleStatusChanged(unsigned id);

private:
    void followStart(const KvProcessInfo &process);
    void followEnd(quint32 processId);
    void followForeground(quint32 processId);
    void followConnectivity(KvConnectivity connectivity);
    void followCapLost(quint32 processId);
    void followRuleChange(unsigned id);
    void followRuleRemoval(unsigned id);
    // Hands each live rule to call, in the store's order.
    template<class Call> void forEachRule(const Call &call) const;
    Rule *makeRule(const RuleDefinition &definition);

    // Made first: the process events are subscribed to before the governor
    // lists the running processes, so that no process ends unseen between.
    KvProcessNotifier m_processNotifier;
    KvNetworkNotifier m_networkNotifier;
    KvProcessGovernor m_governor;
    KvForegroundNotifier m_foregroundNotifier;
    RuleStore m_store;
    RuleContext context;
    QHash<unsigned, std::shared_ptr<Rule>> m_rules;
};
