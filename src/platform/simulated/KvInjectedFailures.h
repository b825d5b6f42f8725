#pragma once

#include "platform/KvPlatformTypes.h"

#include <QHash>

// The error codes a test has made one simulated call fail with, per key
// (process id, thread id, path).
template<class Key> class KvInjectedFailures
{
public:
    // From now on the call fails for key with errorCode; 0 lets it succeed.
    void set(const Key &key, DWORD errorCode)
    {
        if (errorCode)
            codes.insert(key, errorCode);
        else
            codes.remove(key);
    }

    // The code the call fails with for key, or 0.
    DWORD code(const Key &key) const { return codes.value(key, 0); }

    // Like code(key), with fallback used where key has no code of its own.
    DWORD code(const Key &key, const Key &fallback) const
    {
        return codes.value(key, codes.value(fallback, 0));
    }

    void clear() { codes.clear(); }

private:
    QHash<Key, DWORD> codes;
};
