#pragma once

#include <QString>

// A QString that can hand out a zero-terminated wide-character copy of
// itself, for interfaces that take wide strings.
class KvString : public QString
{
public:
    KvString() = default;
    KvString(const QString &text);
    KvString(const KvString &other);
    KvString &operator=(const KvString &other);
    virtual ~KvString();

    // Makes a fresh copy (freeing any earlier one) and returns it, or
    // nullptr if it cannot be allocated. Valid until the next call or the
    // string's destruction.
    const wchar_t *wideString();

private:
    wchar_t *wide = nullptr;
};
