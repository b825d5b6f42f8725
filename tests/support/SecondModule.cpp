// A module with its own copy of the support library, loaded by the test.

#include "SingletonProbes.h"

#include "support/KvLazySingleton.h"

extern "C" Q_DECL_EXPORT void *secondModuleProbe(int n)
{
    return n == 1 ? static_cast<void *>(KvLazySingleton<Probe<1>>::instance())
                  : static_cast<void *>(KvLazySingleton<Probe<2>>::instance());
}
