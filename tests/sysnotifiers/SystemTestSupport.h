#pragma once

#include "KvSystemTestSupport.h"

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QtTest>

// Helpers of the system tests, which need capabilities of the machine that
// may be missing (an X server, root for network namespaces).

// Skips for the given reason, or fails in CI, where every capability must
// Runs one test function of this executable again in a child process,
// started through launcher (e.g. "unshare -n --"), with extra environment.
// The child's output is passed on; the result is its exit code, or -1 when
// it could not run.
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
