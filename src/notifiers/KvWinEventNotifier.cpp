#include "notifiers/KvWinEventNotifier.h"

#include "platform/KvPlatformKernel.h"
#include "support/KvLog.h"

#include <QList>
#include <QSet>

namespace {

// Which notifiers asked for which event. Used on the GUI thread only.
QHash<DWORD, QSet<KvWinEventNotifier *>> &notifiersByEvent()
{
    static QHash<DWORD, QSet<KvWinEventNotifier *>> registry;
    return registry;
}

} // namespace

KvWinEventNotifier::KvWinEventNotifier(QObject *parent)
    : QObject(parent)
{}

KvWinEventNotifier::~KvWinEventNotifier()
{
    auto &registry = notifiersByEvent();
    for (auto it = registry.begin(); it != registry.end();) {
        it->remove(this);
        it = it->isEmpty() ? registry.erase(it) : std::next(it);
    }
    hooks.clear();
}

void KvWinEventNotifier::addHook(DWORD event)
{
    KvPlatformWinEvents *source = &KvPlatformWinEvents::current();
    source->setNoticeProc(&KvWinEventNotifier::logNotice);
    const HWINEVENTHOOK handle = source->setWinEventHook(
        event, event, &KvWinEventNotifier::callback, 0, 0, KvPlatformWinEvents::OutOfContext);
    if (!handle) {
        // Without the hook this notifier stays silent for the event (on
        // Linux: there is no X11 display), which rules with a foreground or
        // background condition need to know about.
        kvCriticalWithError(lcNotifier)
            << "win event #" << event << " cannot be hooked, its changes are not reported";
    }
    // The last reference to the hook removes it, from the source that
    // installed it.
    hooks.insert(event, Hook(handle, [source](HWINEVENTHOOK hook) {
                     if (hook)
                         source->unhookWinEvent(hook);
                 }));
    notifiersByEvent()[event].insert(this);
}

void KvWinEventNotifier::logNotice(KvPlatformWinEvents::NoticeLevel level, const QString &text)
{
    switch (level) {
    case KvPlatformWinEvents::NoticeLevel::Debug:
        kvDebug(lcNotifier) << text;
        break;
    case KvPlatformWinEvents::NoticeLevel::Info:
        kvInfo(lcNotifier) << text;
        break;
    case KvPlatformWinEvents::NoticeLevel::Critical:
        kvCritical(lcNotifier) << text;
        break;
    }
}

void KvWinEventNotifier::callback(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG, LONG, DWORD, DWORD)
{
    kvInfo(lcNotifier) << "win event #" << event << " received";

    // A receiver may destroy notifiers, so emit only to those still
    // registered at the moment of their turn.
    const auto &registry = notifiersByEvent();
    const QSet<KvWinEventNotifier *> notifiers = registry.value(event);
    for (KvWinEventNotifier *notifier : notifiers) {
        const auto registered = registry.constFind(event);
        if (registered != registry.constEnd() && registered->contains(notifier))
            emit notifier->notify(KvWinEventInfo{event, hwnd});
    }
}
