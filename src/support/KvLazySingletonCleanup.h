#pragma once

#include <QtGlobal>

#include <functional>

// The cleanup list of one module: the singletons this module created, in the
// order of creation. The first append registers runCleanupFunctions() as a
// post routine of the application object, so the singletons are destroyed,
// last created first, when the application object goes.
//
// Hidden, so that a library loaded into the process keeps a list of its own
// even where the dynamic loader would otherwise merge its symbols with
// another module's.
class Q_DECL_HIDDEN KvLazySingletonCleanup
{
public:
    static void append(std::function<void()> cleanup);
    static void runCleanupFunctions();
    // How many cleanups are waiting.
    static int pendingCount();
};
