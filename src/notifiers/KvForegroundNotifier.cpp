#include "notifiers/KvForegroundNotifier.h"

#include "platform/KvPlatformForeground.h"
#include "support/KvLog.h"

namespace {

// The window event the foreground's changes were first known by: the log
// says "win event #3" as it always has.
const int foregroundEvent = 3;

} // namespace

KvForegroundNotifier::KvForegroundNotifier(QObject *parent)
    : QObject(parent)
{
    connect(&KvPlatformForeground::current(), &KvPlatformForeground::changed, this,
            [this](quint32 processId) {
                kvInfo(lcNotifier) << "win event #" << foregroundEvent << " received";
                emit changed(processId);
            });
}

void KvForegroundNotifier::watch()
{
    const KvStatus watched = KvPlatformForeground::current().watch();
    if (!watched) {
        // Without it the foreground's changes go unreported (on Linux: there
        // is no X11 display and no compositor's report), which rules with a
        // foreground or background condition need to know about.
        kvCriticalWithCode(lcNotifier, watched.error().code)
            << "win event #" << foregroundEvent << " cannot be hooked, its changes are not "
                                                    "reported";
    }
}

quint32 KvForegroundNotifier::currentProcess()
{
    return KvPlatformForeground::current().process();
}
