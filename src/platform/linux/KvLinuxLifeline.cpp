#include "platform/linux/KvLinuxLifeline.h"

#include "platform/KvProcessEventSource.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

const char lifelineName[] = "corvane-lifeline";

} // namespace

KvPlatformLifeline *KvPlatformLifeline::native()
{
    static KvLinuxLifeline lifeline;
    return &lifeline;
}

QString KvLinuxLifeline::programPath()
{
    // Beside the program in the build tree; in the program's own library
    // folder once installed.
    const QString folder = QCoreApplication::applicationDirPath();
    for (const QString &candidate :
         {folder + QLatin1Char('/') + QLatin1String(lifelineName),
          folder + QStringLiteral("/" CORVANE_BIN_TO_LIB "/") + QLatin1String(lifelineName)}) {
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return QString();
}

quint32 KvLinuxLifeline::processId() const
{
    return pid > 0 ? quint32(pid) : KvProcessEntry::noProcessId;
}

KvStatus KvLinuxLifeline::start(const QString &journalPath)
{
    if (pid > 0)
        return {};
    journal = journalPath;
    return spawn();
}

KvStatus KvLinuxLifeline::spawn()
{
    const QString program = programPath();
    if (program.isEmpty())
        return KvError{ENOENT, QStringLiteral("%1 is not installed beside the program")
                                   .arg(QLatin1String(lifelineName))};
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return KvError::fromErrno(errno);
    // Its end becomes descriptor 3 (dup2 keeps it open across the exec);
    // no signal is blocked or caught in it.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    const QByteArray path = QFile::encodeName(program);
    const QByteArray journalArgument = QFile::encodeName(journal);
    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    char *arguments[] = {const_cast<char *>(lifelineName),
                         const_cast<char *>(journalArgument.data()),
                         const_cast<char *>(self.data()), nullptr};
    const int failed =
        ::posix_spawn(&pid, path.constData(), &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ends[1]);
    if (failed != 0) {
        ::close(ends[0]);
        pid = -1;
        return KvError::fromErrno(failed);
    }
    programEnd = ends[0];
    restart.started();
    if (QCoreApplication::instance()) {
        watch =
            new QSocketNotifier(programEnd, QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(watch.data(), &QSocketNotifier::activated, [this] { onEnded(); });
    }
    kvDebug(lcGovernor) << "lifeline started as process #" << pid;
    return {};
}

void KvLinuxLifeline::onEnded()
{
    // Nothing is ever written to the program's end: readable means closed.
    delete watch.data();
    ::close(programEnd);
    programEnd = -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    kvWarning(lcGovernor) << "the lifeline, process #" << pid << ", ended ("
                          << (WIFSIGNALED(status)
                                  ? QStringLiteral("signal %1").arg(WTERMSIG(status))
                                  : QStringLiteral("status %1").arg(WEXITSTATUS(status)))
                          << "); should the program be killed before another runs, what it holds "
                             "is lifted at its next start";
    pid = -1;
    restart.schedule([this] { return pid > 0 ? KvStatus() : spawn(); });
}
