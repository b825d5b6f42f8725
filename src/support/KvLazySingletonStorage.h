#pragma once

#include <QHash>

#include <typeinfo>

// The process-wide registry of lazy singletons: one instance per type. It is
// published in the shared value table under "KvLazySingletonStorage", so a
// type seen from two modules, each with a type record of its own, maps to the
// one entry that the first module wrote.

class KvLazySingletonTypeKey
{
public:
    explicit KvLazySingletonTypeKey(const std::type_info &type)
        : m_type(&type)
    {}

    const std::type_info &type() const { return *m_type; }

    // type_info's equality compares the names the run-time type information
    // gives, except for types local to one module, which never match another
    // module's.
    bool operator==(const KvLazySingletonTypeKey &other) const { return *m_type == *other.m_type; }

private:
    const std::type_info *m_type;
};

// The type's hash code is computed from its name, so it is the same in every
// module.
inline uint qHash(const KvLazySingletonTypeKey &key, uint seed = 0)
{
    return static_cast<uint>(key.type().hash_code()) ^ seed;
}

struct KvLazySingletonEntry
{
    void *instance = nullptr;
    // 1 when the entry is written, plus 1 for each module that adopts it.
    int useCount = 0;
};

using KvLazySingletonStorage = QHash<KvLazySingletonTypeKey, KvLazySingletonEntry>;

// The registry, found in or published to the shared value table on first use.
KvLazySingletonStorage &lazySingletonStorage();

// The name under which the registry is published.
QString lazySingletonStorageName();
