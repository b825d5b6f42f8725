#pragma once

// Types that both the test executable and the second module instantiate
// through KvLazySingleton. Their constructors and destructors count in the
// shared value table, which both modules reach, so the counts are the
// process's, not one module's.

#include "support/KvSharedValues.h"

#include <QStringList>

inline void countSharedEvent(const QString &name)
{
    setSharedValue(name, sharedValue(name).toInt() + 1);
}

inline void recordTeardown(const QString &name)
{
    QStringList order = sharedValue(QStringLiteral("teardown.order")).toStringList();
    order.append(name);
    setSharedValue(QStringLiteral("teardown.order"), order);
}

// Created by the executable, adopted by the second module.
struct ExecutableProbe
{
    ExecutableProbe() { countSharedEvent(QStringLiteral("ExecutableProbe.constructed")); }
    ~ExecutableProbe()
    {
        countSharedEvent(QStringLiteral("ExecutableProbe.destroyed"));
        recordTeardown(QStringLiteral("ExecutableProbe"));
    }
    int marker = 0;
};

// Created by the second module, adopted by the executable.
struct ModuleProbe
{
    ModuleProbe() { countSharedEvent(QStringLiteral("ModuleProbe.constructed")); }
    ~ModuleProbe()
    {
        countSharedEvent(QStringLiteral("ModuleProbe.destroyed"));
        recordTeardown(QStringLiteral("ModuleProbe"));
    }
};
