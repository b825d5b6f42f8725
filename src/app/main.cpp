#include "analytics/KvAnalytics.h"
#include "analytics/KvProviderInterface.h"
#include "app/KvApplication.h"
#include "app/KvCommandLine.h"
#include "platform/KvPlatformSession.h"
#include "rules/RulesEngine.h"
#include "ui/MainWindow.h"

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    // Without a display the rules still restrain processes, with no window
    // and no GUI platform at all.
    const bool gui = (KvPlatformSession::current().hasDisplay() ||
                      !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) &&
                     !KvCommandLine::asksToLiftLeftovers(argc, argv);
    KvApplication application(argc, argv, gui);
    // Help, the version and a refused command line end here: no log line,
    // no settings written, no report sent, no rule applied.
    const KvCommandLine commandLine(QCoreApplication::arguments());
    if (!commandLine.startsRun())
        return commandLine.answer();
    if (commandLine.liftsLeftovers())
        return application.liftLeftovers();

    if (!gui)
        std::fputs("corvane: no display found; running without a window\n", stderr);
    application.start();

    // Analytics, second hook: the property id goes to the providers and the
    // start of the run is reported.
    KvAnalytics *analytics = KvAnalytics::instance();
    for (KvProviderInterface *provider : analytics->providers())
        provider->setTrackingId(KvAnalytics::trackingId());
    analytics->event(KvAnalytics::sessionBeginEvent());

    // A request to end that comes during start-up ends it after the step
    // at hand, with everything lifted first.
    int result = 0;
    if (!application.stopRequested()) {
        RulesEngine engine;
        application.setStop([&engine] { engine.stop(); });
        std::unique_ptr<MainWindow> window;
        if (gui && !application.stopRequested()) {
            window = std::make_unique<MainWindow>(engine);
            if (!application.stopRequested())
                window->show();
        }
        if (!application.stopRequested())
            result = application.exec();
        application.setStop(nullptr);
    }
    // The engine is gone, and with it every restriction. Destroying the
    // application writes the end line and then tears down the lazy
    // singletons, the last created first.
    return result;
}
