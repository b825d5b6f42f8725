#include "support/KvLazySingletonCleanup.h"

#include <QCoreApplication>

#include <vector>

namespace {

std::vector<std::function<void()>> cleanupFunctions;
bool postRoutineRegistered = false;

} // namespace

void KvLazySingletonCleanup::append(std::function<void()> cleanup)
{
    if (!postRoutineRegistered) {
        qAddPostRoutine(&KvLazySingletonCleanup::runCleanupFunctions);
        postRoutineRegistered = true;
    }
    cleanupFunctions.push_back(std::move(cleanup));
}

void KvLazySingletonCleanup::runCleanupFunctions()
{
    // One at a time, from a copy: a destructor may create or look up another
    // singleton and so touch the list.
    while (!cleanupFunctions.empty()) {
        const std::function<void()> cleanup = cleanupFunctions.back();
        cleanupFunctions.pop_back();
        cleanup();
    }
}

int KvLazySingletonCleanup::pendingCount()
{
    return static_cast<int>(cleanupFunctions.size());
}
