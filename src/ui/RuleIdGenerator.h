#pragma once

#include <functional>

// Makes the ids of new rules. An id lives only in the name of its rule's
// group in the store, so a new id must be neither 0 (what an unreadable
// group name reads as) nor the id of a rule already stored: accepting the
// dialog on such an id would overwrite that rule.
class RuleIdGenerator
{
public:
    using Source = std::function<unsigned()>;

    // Bytes 8 to 11 of a random UUID (the start of its eight-byte tail), read
    // as a little-endian 32-bit number.
    static unsigned randomId();

    // Draws from source until an id is neither 0 nor taken by a stored rule.
    static unsigned newId(const Source &source = randomId);
};
