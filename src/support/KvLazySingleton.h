#pragma once

#include "support/KvLazySingletonCleanup.h"
#include "support/KvLazySingletonStorage.h"

#include <QtGlobal>

#include <typeinfo>

// One instance of T per process, created on first use and destroyed when the
// application object is torn down. A module that finds an instance another
// module created adopts it and never destroys it.
//
// The per-type state is module-local (hence hidden): each module remembers
// whether it created the instance or adopted it. Everything runs on the GUI
// thread; a caller on another thread must not race a first instance() call.
template<class T> class Q_DECL_HIDDEN KvLazySingleton
{
public:
    // Never null.
    static T *instance()
    {
        if (foreignInstance)
            return foreignInstance;
        if (ownInstance)
            return ownInstance;

        KvLazySingletonStorage &storage = lazySingletonStorage();
        const KvLazySingletonTypeKey key(typeid(T));
        const auto existing = storage.find(key);
        if (existing != storage.end()) {
            ++existing->useCount;
            if (existing->instance) {
                foreignInstance = static_cast<T *>(existing->instance);
                return foreignInstance;
            }
        }

        ownInstance = new T();
        KvLazySingletonCleanup::append(&destroyOwnInstance);
        KvLazySingletonEntry entry;
        entry.instance = ownInstance;
        entry.useCount = 1;
        storage.insert(key, entry);
        return ownInstance;
    }

private:
    static void destroyOwnInstance()
    {
        T *destroyed = ownInstance;
        if (!destroyed)
            return;
        // Another module must not adopt a destroyed object, so the entry
        // forgets it before the object goes.
        KvLazySingletonStorage &storage = lazySingletonStorage();
        const auto entry = storage.find(KvLazySingletonTypeKey(typeid(T)));
        if (entry != storage.end() && entry->instance == destroyed)
            entry->instance = nullptr;
        delete destroyed;
        ownInstance = nullptr;
    }

    static inline T *foreignInstance = nullptr;
    static inline T *ownInstance = nullptr;
};
