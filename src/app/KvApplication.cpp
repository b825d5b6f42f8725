#include "app/KvApplication.h"

#include "analytics/KvAnalytics.h"
#include "platform/KvPlatformLifeline.h"
#include "platform/KvPlatformProcesses.h"
#include "platform/KvPlatformSession.h"
#include "platform/KvPlatformVersion.h"
#include "process/KvRestrictionJournal.h"
#include "process/KvRestrictionRecovery.h"
#include "support/KvLazySingletonCleanup.h"
#include "support/KvLog.h"
#include "support/KvLogOutput.h"
#include "support/KvMessageLogger.h"

#include <QApplication>

#include <algorithm>

namespace {

// The maker's web domain.
const char makerDomain[] = "corvane.app";

const char endLine[] = "--------------------------------------------------";

} // namespace

KvApplication::KvApplication(int &argc, char **argv, bool gui)
    : gui(gui)
    , application(gui ? new QApplication(argc, argv) : new QCoreApplication(argc, argv))
{
    KvPlatformProcesses &processes = KvPlatformProcesses::current();
    const KvFileInfo fileInfo = KvPlatformVersion::current().fileInfo(
        processes.imagePath(processes.ownId()).valueOr(QCoreApplication::applicationFilePath()));

    QCoreApplication::setOrganizationName(fileInfo.companyName());
    QCoreApplication::setApplicationName(fileInfo.productName());
    QCoreApplication::setApplicationVersion(fileInfo.version().toString());
    QCoreApplication::setOrganizationDomain(QLatin1String(makerDomain));
    // The installed desktop file and icon are named by the reversed domain
    // and the product name; Wayland compositors find them through this id.
    QStringList id = QCoreApplication::organizationDomain().split(QLatin1Char('.'));
    std::reverse(id.begin(), id.end());
    QGuiApplication::setDesktopFileName(id.join(QLatin1Char('.')) + QLatin1Char('.') +
                                        QCoreApplication::applicationName());
}

int KvApplication::exec()
{
    const int status = QCoreApplication::exec();
    // The loop's last pass does not block: its lines go out here.
    KvLogOutput::instance().flush();
    return status;
}

void KvApplication::stopOnRequest(const QString &request)
{
    KvMessageLogger(nullptr, 0, nullptr).info() << request << " received, stopping";
    m_stopRequested = true;
    // Whatever else the event loop has queued waits: everything is lifted
    // first, and the loop ends after this pass.
    if (m_stop)
        m_stop();
    QCoreApplication::quit();
}

bool KvApplication::stopRequested()
{
    if (!m_stopRequested)
        KvPlatformSession::current().deliverPendingRequests();
    return m_stopRequested;
}

void KvApplication::start()
{
    m_started = true;
    // What the terminal is shown goes out in the log's batches too.
    KvLogOutput::takeOverTerminal();
    KvMessageLogger(nullptr, 0, nullptr).info()
        << QCoreApplication::applicationName() << " " << QCoreApplication::applicationVersion()
        << " started";

    const KvStatus caught = KvPlatformSession::current().setTerminationHandler(
        [this](const QString &request) { stopOnRequest(request); });
    if (!caught) {
        KvMessageLogger(nullptr, 0, nullptr, "default", caught.error().code).critical()
            << "termination requests cannot be caught; they end the program at once";
    }

    // Before the first restriction, so that none outlives a killed run.
    const KvStatus lifeline =
        KvPlatformLifeline::current().start(KvRestrictionJournal::pathOfThisRun());
    if (!lifeline) {
        kvWarning(lcGovernor)
            << "no lifeline (" << lifeline.error().message
            << "): should this run be killed, what it holds is lifted at the next start";
    }

    // Analytics, first hook: the analytics object is created and initialised
    // last, once the names that place its counters are set and a termination
    // request can no longer cut the start short.
    KvAnalytics::instance()->initialize();
}

int KvApplication::liftLeftovers()
{
    KvMessageLogger(nullptr, 0, nullptr).info()
        << QCoreApplication::applicationName() << " " << QCoreApplication::applicationVersion()
        << " lifts what runs that ended left in force";
    // At its start the recovery lifts every ended run's leftovers, and
    // this process has none of its own.
    {
        const KvRestrictionRecovery recovery(KvRestrictionJournal::pathOfThisRun());
    }
    KvLogOutput::instance().flush();
    return 0;
}

KvApplication::~KvApplication()
{
    if (!m_started)
        return;
    // Written at once, with whatever the loop's last pass left: no loop runs.
    KvMessageLogger(nullptr, 0, nullptr).info() << endLine;
    // From here on a termination request ends the process the default way.
    // Nothing is restricted any more: the window and its rules are gone.
    KvPlatformSession::current().setTerminationHandler(nullptr);
    // The singletons go now, last created first, while the application
    // object stands: the end report reads the screen and waits for its
    // answer in an event loop, neither of which is there any more once the
    // application object's post routines run.
    KvLazySingletonCleanup::runCleanupFunctions();
}
