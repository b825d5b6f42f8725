#pragma once

// The life cycle of a rule. The values are the ones the rules list and the
// status icons go by.
enum class RuleState : int {
    Inactive = 0, // conditions not met, nothing applied
    Active = 1,   // conditions met, action applied to the targets
    Delayed = 2,  // conditions met, waiting for the delay to end
};
