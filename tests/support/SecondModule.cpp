// A module with its own copy of the support library, loaded by the test.

#include "SingletonProbes.h"

#include "support/KvLazySingleton.h"

#include <QtGlobal>

extern "C" {

Q_DECL_EXPORT void *secondModuleValueTable()
{
    return &sharedValues();
}

Q_DECL_EXPORT void *secondModuleStorage()
{
    return &lazySingletonStorage();
}

Q_DECL_EXPORT void *secondModuleExecutableProbe()
{
    return KvLazySingleton<ExecutableProbe>::instance();
}

Q_DECL_EXPORT void *secondModuleModuleProbe()
{
    return KvLazySingleton<ModuleProbe>::instance();
}

Q_DECL_EXPORT int secondModulePendingCleanups()
{
    return KvLazySingletonCleanup::pendingCount();
}
}
