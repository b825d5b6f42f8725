#include "app/KvApplication.h"

#include "analytics/KvAnalytics.h"
#include "platform/KvPlatformProcesses.h"
#include "platform/KvPlatformSession.h"
#include "platform/KvPlatformVersion.h"
#include "support/KvLog.h"
#include "support/KvLogOutput.h"
#include "support/KvMessageLogger.h"

#include <QApplication>

#include <algorithm>

namespace {

// The maker's web domain.
const char makerDomain[] = "corvane.app";

const char endLine[] = "--------------------------------------------------";

// Orders the end of the run from the event loop, so that main can take the
// window and its rules down and lift every restriction.
void quitOnRequest(const QString &request)
{
    KvMessageLogger(nullptr, 0, nullptr).info() << request << " received, stopping";
    QCoreApplication::quit();
}

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

void KvApplication::start()
{
    m_started = true;
    // What the terminal is shown goes out in the log's batches too.
    KvLogOutput::takeOverTerminal();
    KvMessageLogger(nullptr, 0, nullptr).info()
        << QCoreApplication::applicationName() << " " << QCoreApplication::applicationVersion()
        << " started";

    const KvStatus caught = KvPlatformSession::current().setTerminationHandler(quitOnRequest);
    if (!caught) {
        KvMessageLogger(nullptr, 0, nullptr, "default", caught.error().code).critical()
            << "termination requests cannot be caught; they end the program at once";
    }

    // Analytics, first hook: the analytics object is created and initialised
    // last, once the names that place its counters are set and a termination
    // request can no longer cut the start short.
    KvAnalytics::instance()->initialize();
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
}
