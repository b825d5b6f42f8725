#include "support/KvLazySingletonStorage.h"

#include "support/KvSharedValues.h"

namespace {

KvLazySingletonStorage *findOrPublishStorage()
{
    const QVariant published = sharedValue(lazySingletonStorageName());
    if (!published.isNull())
        return reinterpret_cast<KvLazySingletonStorage *>(
            static_cast<quintptr>(published.toULongLong()));

    // Never freed: the modules of the process share it until the end.
    auto *storage = new KvLazySingletonStorage;
    setSharedValue(lazySingletonStorageName(),
                   QVariant::fromValue(reinterpret_cast<quintptr>(storage)));
    return storage;
}

} // namespace

QString lazySingletonStorageName()
{
    return QStringLiteral("KvLazySingletonStorage");
}

KvLazySingletonStorage &lazySingletonStorage()
{
    static KvLazySingletonStorage *const storage = findOrPublishStorage();
    return *storage;
}
