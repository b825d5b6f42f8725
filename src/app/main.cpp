#include "analytics/KvAnalytics.h"
#include "analytics/KvProviderInterface.h"
#include "app/KvApplication.h"
#include "app/KvCommandLine.h"
#include "platform/KvPlatformSession.h"
#include "ui/MainWindow.h"

#include <cstdio>

int main(int argc, char *argv[])
{
    // Without a display the rules still restrain processes; the window
    // simply is not seen.
    const bool headless = !KvPlatformSession::current().hasDisplay() &&
                          qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");

    KvApplication application(argc, argv);
    // Help, the version and a refused command line end here: no log line,
    // no settings written, no report sent, no rule applied.
    const KvCommandLine commandLine(QCoreApplication::arguments());
    if (!commandLine.startsRun())
        return commandLine.answer();

    if (headless) {
        std::fputs(
            "corvane: no display found; running on the offscreen platform, no window is shown\n",
            stderr);
    }
    application.start();

    // Analytics, second hook: the property id goes to the providers and the
    // start of the run is reported.
    KvAnalytics *analytics = KvAnalytics::instance();
    for (KvProviderInterface *provider : analytics->providers())
        provider->setTrackingId(KvAnalytics::trackingId());
    analytics->event(KvAnalytics::sessionBeginEvent());

    int result = 0;
    {
        MainWindow window;
        window.show();
        result = application.exec();
    }
    // The window and its rules model are gone, so every rule is deactivated.
    // Destroying the application writes the end line and then tears down the
    // lazy singletons, the last created first.
    return result;
}
