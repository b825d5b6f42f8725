#pragma once

#include "platform/KvPlatformSettingsWatch.h"
#include "platform/KvResult.h"
#include "platform/windows/win32/KvWin32Handle.h"

#include <QWinEventNotifier>

#include <memory>

// A registry key and every key below it, watched with
// RegNotifyChangeKeyValue: the system signals an event at the first change
// of a name or a value, and the watch is set again before changed() goes
// out, so that a change made while it is handled is seen too.
class KvWindowsSettingsWatch : public KvPlatformSettingsWatch
{
public:
    // path under HKEY_CURRENT_USER; the key is made if it is missing.
    static KvResult<std::unique_ptr<KvPlatformSettingsWatch>> open(const QString &path);
    ~KvWindowsSettingsWatch() override;

private:
    KvWindowsSettingsWatch(HKEY key, KvWin32Handle event);
    LSTATUS arm();

    HKEY key;
    KvWin32Handle event;
    QWinEventNotifier notifier;
};
