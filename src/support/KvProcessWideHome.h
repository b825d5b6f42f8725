#pragma once

#include "support/KvInstallable.h"

#include <QString>

// The process-wide home of the shared value table: a place that every module
// of the process (the executable and any library loaded into it) finds by
// name, so that all of them reach one table although each has statics of
// its own. The platform layer provides it: on Windows a window class, whose
// window-procedure field carries the address; on Linux a tiny shared library
// that the dynamic loader maps once per process.
class KvProcessWideHome : public KvInstallable<KvProcessWideHome>
{
public:
    virtual ~KvProcessWideHome() = default;

    // Defined by the native backend of the platform layer.
    static KvProcessWideHome *native();

    // The address published under name, where one is.
    virtual bool find(const QString &name, void *&address) = 0;
    // Publishes address under name; false when it cannot be (on Windows also
    // when the name is taken already).
    virtual bool publish(const QString &name, void *address) = 0;

protected:
    KvProcessWideHome() = default;
};
