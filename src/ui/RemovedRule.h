#pragma once

#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

// A rule as the store held it before it was removed: every key of its group,
// those this version of the program does not know included, to put it back
// as it was under the same id.
class RemovedRule
{
public:
    // Copies the rule's group from the store; made before the rule goes.
    explicit RemovedRule(unsigned id);

    unsigned id() const { return ruleId; }
    QString name() const;
    // Writes the group back, unless the store holds a rule of that id again
    // (false then). Whoever restores has the rule store read it.
    bool restore() const;

private:
    unsigned ruleId;
    QList<QPair<QString, QVariant>> keys;
};
