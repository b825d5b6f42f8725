#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
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

// Runs one test function of this executable again in a child process,
// started through launcher (e.g. "unshare -n --"), with extra environment:
// for checks that need a process of their own (another display, another
// network namespace). The child's output is passed on; the result is its
// exit code, or -1 when it could not run or did not end normally.
inline int runTestFunctionInChild(const QStringList &launcher, const char *function,
                                  const QProcessEnvironment &extra)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(extra);
    QStringList arguments = launcher;
    arguments << QCoreApplication::applicationFilePath() << QString::fromLatin1(function);
    const QString program = arguments.takeFirst();

    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(program, arguments);
    if (!child.waitForStarted() || !child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        return -1;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
}
