#pragma once

// What a rule needs from the model that owns it: a way to announce that its
// status (and so the status icon of its row) has changed.
class RulesModelInterface
{
public:
    // The row of the rule with this id: the position of its group among the
    // child groups of "rules", in store order. -1 when the store no longer
    // holds the group (for example after outside editing).
    virtual int rowOf(unsigned id) const = 0;

    // The status of the rule in this row has changed; the model announces
    // the change of the row's status cell.
    virtual void ruleStatusChanged(int row) = 0;

protected:
    ~RulesModelInterface() = default;
};
