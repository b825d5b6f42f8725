#include "rules/RulesEngine.h"

#include "platform/KvPlatformProcesses.h"
#include "rules/Rule.h"
#include "support/KvLog.h"

#include <initializer_list>

template<class Call> void RulesEngine::forEachRule(const Call &call) const
{
    // No rule's handler changes the store, so its list is walked as it is.
    for (unsigned id : m_store.ids()) {
        if (Rule *live = rule(id))
            call(*live);
    }
}

RulesEngine::RulesEngine(QObject *parent, const QString &journalDirectory)
    : QObject(parent)
    , m_governor(nullptr, journalDirectory)
    , context(m_governor)
{
    context.ownProcessId = KvPlatformProcesses::current().ownId();
    context.connectivity = KvNetworkNotifier::currentConnectivity();
    followForeground(KvForegroundNotifier::currentProcess());
    connect(&m_processNotifier, &KvProcessNotifier::started, this, &RulesEngine::followStart);
    connect(&m_processNotifier, &KvProcessNotifier::ended, this, &RulesEngine::followEnd);
    connect(&m_networkNotifier, &KvNetworkNotifier::connectivityChanged, this,
            &RulesEngine::followConnectivity);
    connect(&m_governor, &KvProcessGovernor::capLost, this, &RulesEngine::followCapLost);
    connect(&m_store, &RuleStore::ruleChanged, this, &RulesEngine::followRuleChange);
    connect(&m_store, &RuleStore::ruleRemoved, this, &RulesEngine::followRuleRemoval);

    // In the store's order, each rule once.
    for (unsigned id : m_store.ids())
        makeRule(*m_store.definition(id))->activateIfApplicable();

    connect(&m_foregroundNotifier, &KvForegroundNotifier::changed, this, [this](quint32 processId) {
        followForeground(processId);
        forEachRule([](Rule &rule) { rule.followForeground(); });
    });
    m_foregroundNotifier.watch();
    kvInfo(lcCorvane) << m_rules.size() << " rules loaded";
}

RulesEngine::~RulesEngine()
{
    // Every active rule lifts what it holds while the governor is there.
    m_rules.clear();
}

void RulesEngine::stop()
{
    for (QObject *source : std::initializer_list<QObject *>{
             &m_processNotifier, &m_networkNotifier, &m_governor, &m_store, &m_foregroundNotifier})
        disconnect(source, nullptr, this, nullptr);
    forEachRule([this](Rule &rule) {
        if (rule.state() == RuleState::Inactive)
            return;
        rule.deactivate();
        emit ruleStatusChanged(rule.definition().id);
    });
}

Rule *RulesEngine::rule(unsigned id) const
{
    return m_rules.value(id).get();
}

Rule *RulesEngine::makeRule(const RuleDefinition &definition)
{
    const unsigned id = definition.id;
    auto rule = std::make_shared<Rule>(definition, context);
    connect(rule.get(), &Rule::statusChanged, this, [this, id] { emit ruleStatusChanged(id); });
    m_rules.insert(id, rule);
    return rule.get();
}

void RulesEngine::followStart(const KvProcessInfo &process)
{
    m_governor.followStart(process);
    forEachRule([&](Rule &rule) { rule.followStart(process); });
}

void RulesEngine::followEnd(quint32 processId)
{
    m_governor.followEnd(processId);
    forEachRule([&](Rule &rule) { rule.followEnd(processId); });
}

void RulesEngine::followForeground(quint32 processId)
{
    KvProcessInfo owner;
    owner.processId = processId;
    // The owner is nearly always in the governor's table with its path
    // already found: taking the file from there spares reading the process
    // again, and the file's canonical path, once worked out for the
    // background test, stays with the record for the next comparisons.
    const QSharedPointer<KvProcessInfo> known = m_governor.processes().value(processId);
    if (known && known->hasResolvedPath())
        owner.fileInfo = known->fileInfo;
    else
        owner.resolveFilePath();
    context.foreground = owner;
}

void RulesEngine::followConnectivity(KvConnectivity connectivity)
{
    context.connectivity = connectivity;
    forEachRule([](Rule &rule) { rule.followConnectivity(); });
}

void RulesEngine::followCapLost(quint32 processId)
{
    forEachRule([&](Rule &rule) { rule.followCapLost(processId); });
}

void RulesEngine::followRuleChange(unsigned id)
{
    const RuleDefinition &now = *m_store.definition(id);
    Rule *live = rule(id);
    if (!live) {
        makeRule(now)->activateIfApplicable();
        emit ruleStatusChanged(id);
        return;
    }
    const RuleDefinition before = live->definition();
    live->setDefinition(now);
    if (!now.enabled) {
        if (live->state() != RuleState::Inactive)
            live->deactivate();
    } else if (live->state() == RuleState::Inactive) {
        live->activateIfApplicable();
    } else if (now != before) {
        // A rule already at work is lifted and applied again: activating
        // it twice would apply its action under a group it could not lift.
        live->deactivate();
        live->activateIfApplicable();
    }
    emit ruleStatusChanged(id);
}

void RulesEngine::followRuleRemoval(unsigned id)
{
    // Lifted first, while the rule still knows what it did.
    const std::shared_ptr<Rule> removed = m_rules.take(id);
    if (removed && removed->state() != RuleState::Inactive)
        removed->deactivate();
}
