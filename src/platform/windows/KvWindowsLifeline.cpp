#include "platform/windows/KvWindowsLifeline.h"

#include "platform/KvProcessEventSource.h"
#include "platform/windows/KvWindowsError.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QWinEventNotifier>

namespace {

const char lifelineName[] = "corvane-lifeline.exe";

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

} // namespace

KvPlatformLifeline *KvPlatformLifeline::native()
{
    return &KvWindowsLifeline::instance();
}

KvWindowsLifeline &KvWindowsLifeline::instance()
{
    static KvWindowsLifeline lifeline;
    return lifeline;
}

QString KvWindowsLifeline::programPath()
{
    const QString beside =
        QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(lifelineName);
    return QFileInfo(beside).isFile() ? beside : QString();
}

quint32 KvWindowsLifeline::processId() const
{
    return lifeline ? quint32(lifeline->processId()) : KvProcessEntry::noProcessId;
}

KvStatus KvWindowsLifeline::start(const QString &journalPath)
{
    if (lifeline)
        return {};
    journal = journalPath;
    return spawn();
}

KvStatus KvWindowsLifeline::spawn()
{
    const QString program = programPath();
    if (program.isEmpty())
        return KvError{int(ERROR_FILE_NOT_FOUND),
                       QStringLiteral("%1 is not installed beside the program")
                           .arg(QLatin1String(lifelineName))};
    auto started = std::make_unique<KvWin32Lifeline>();
    if (!started->start(nativePath(program), nativePath(journal),
                        nativePath(QCoreApplication::applicationFilePath())))
        return KvWindowsError::last();
    lifeline = std::move(started);
    restart.started();
    // A new lifeline holds nothing yet.
    for (auto &job : jobs) {
        job.second = 0;
        entrust(job.first);
    }
    if (QCoreApplication::instance()) {
        watch = new QWinEventNotifier(lifeline->process(), QCoreApplication::instance());
        QObject::connect(watch.data(), &QWinEventNotifier::activated, [this] { onEnded(); });
    }
    kvDebug(lcGovernor) << "lifeline started as process #" << lifeline->processId();
    return {};
}

void KvWindowsLifeline::entrust(HANDLE job)
{
    std::uint64_t &held = jobs[job];
    if (lifeline && !held && !lifeline->entrust(job, held)) {
        kvCriticalWithCode(lcGovernor, KvWindowsError::last().code)
            << "failed to hand a job to the lifeline: should the program be killed, its CPU limit "
               "stays until its processes end";
    }
}

void KvWindowsLifeline::withdraw(HANDLE job)
{
    const auto found = jobs.find(job);
    if (found == jobs.end())
        return;
    if (lifeline && found->second)
        lifeline->withdraw(found->second);
    jobs.erase(found);
}

void KvWindowsLifeline::onEnded()
{
    delete watch.data();
    DWORD status = 0;
    GetExitCodeProcess(lifeline->process(), &status);
    kvWarning(lcGovernor) << "the lifeline, process #" << lifeline->processId()
                          << ", ended (status " << status
                          << "); should the program be killed before another runs, what it "
                             "suspends is resumed at its next start, and its CPU limits stay "
                             "until their processes end";
    lifeline.reset();
    restart.schedule([this] { return lifeline ? KvStatus() : spawn(); });
}
