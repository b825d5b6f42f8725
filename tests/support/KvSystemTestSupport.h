#pragma once

#include <QString>
#include <QtTest>

// System tests need capabilities of the machine (root, a cgroup with the cpu
// controller, the process connector, an X server, network namespaces). Where
// one is missing they skip and say why; in CI, where every capability must be
// there, they fail instead, so that a test that silently stopped running is
// noticed.

inline bool kvRunningInCi()
{
    return !qEnvironmentVariableIsEmpty("CI");
}

// Records the skip (or, in CI, the failure) at the given place. For helpers
// that cannot return from the test function themselves: the caller returns.
inline void kvSkipOrFailAt(const QString &reason, const char *file, int line)
{
    if (kvRunningInCi())
        QTest::qFail(qPrintable(QStringLiteral("capability missing in CI: ") + reason), file, line);
    else
        QTest::qSkip(qPrintable(reason), file, line);
}

#define KV_SKIP_OR_FAIL(reason)                                                                    \
    do {                                                                                           \
        kvSkipOrFailAt(reason, __FILE__, __LINE__);                                                \
        return;                                                                                    \
    } while (false)

#define KV_REQUIRE_CAPABILITY(condition, reason)                                                   \
    do {                                                                                           \
        if (!(condition))                                                                          \
            KV_SKIP_OR_FAIL(reason);                                                               \
    } while (false)
