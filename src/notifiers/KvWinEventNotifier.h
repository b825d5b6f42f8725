#pragma once

#include "notifiers/KvWinEventInfo.h"

#include <QHash>
#include <QObject>

#include <memory>
#include <type_traits>

// Reports system window events as the signal notify, on the GUI thread.
//
// The hook callback is a plain function; it finds the notifiers that asked
// for an event through a process-wide registry and hands each callback to
// every notifier registered for its event.
class KvWinEventNotifier : public QObject
{
    Q_OBJECT

public:
    explicit KvWinEventNotifier(QObject *parent = nullptr);
    // Leaves the registry before the hooks go, so no callback reaches a
    // destroyed notifier.
    ~KvWinEventNotifier() override;

    // Hooks exactly one event for this notifier. Hooking an event again
    // replaces (and so removes) the earlier hook for it.
    void addHook(DWORD event);

signals:
    void notify(KvWinEventInfo winEventInfo);

private:
    // The last reference to a hook removes it.
    using Hook = std::shared_ptr<std::remove_pointer_t<HWINEVENTHOOK>>;

    static void logNotice(KvPlatformWinEvents::NoticeLevel level, const QString &text);
    static void callback(HWINEVENTHOOK hook, DWORD event, HWND hwnd, LONG idObject, LONG idChild,
                         DWORD idEventThread, DWORD dwmsEventTime);

    QHash<DWORD, Hook> hooks;
};
