#include "support/KvString.h"

#include <cstdint>
#include <cstdlib>

KvString::KvString(const QString &text)
    : QString(text)
{}

// The wide copy belongs to one object; copies make their own when asked.
KvString::KvString(const KvString &other)
    : QString(other)
{}

KvString &KvString::operator=(const KvString &other)
{
    QString::operator=(other);
    std::free(wide);
    wide = nullptr;
    return *this;
}

KvString::~KvString()
{
    std::free(wide);
}

const wchar_t *KvString::wideString()
{
    std::free(wide);
    wide = nullptr;
    const size_t characters = size_t(size()) + 1;
    // A byte count that would overflow saturates, so that malloc fails
    // instead of returning a buffer too small for the text.
    const size_t bytes =
        characters > SIZE_MAX / sizeof(wchar_t) ? SIZE_MAX : characters * sizeof(wchar_t);
    wide = static_cast<wchar_t *>(std::malloc(bytes));
    if (!wide)
        return nullptr;
    const int written = toWCharArray(wide);
    wide[written] = L'\0';
    return wide;
}
