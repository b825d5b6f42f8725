#pragma once

#include "support/KvSharedValues.h"

#include <QStringList>

// Made through KvLazySingleton by the test and by the second module alike. It
// records its end in the shared value table, which both modules reach.
template<int N> struct Probe
{
    ~Probe()
    {
        const QString teardown = QStringLiteral("teardown");
        setSharedValue(teardown, sharedValue(teardown).toStringList() << QString::number(N));
    }
};
