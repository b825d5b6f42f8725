#include "platform/windows/KvWindowsSettingsWatch.h"

#include "platform/windows/KvWindowsError.h"
#include "support/KvLog.h"

namespace {

const DWORD watchedChanges = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;

} // namespace

KvResult<std::unique_ptr<KvPlatformSettingsWatch>> KvWindowsSettingsWatch::open(const QString &path)
{
    HKEY key = nullptr;
    const LSTATUS opened =
        RegCreateKeyExW(HKEY_CURRENT_USER, reinterpret_cast<const wchar_t *>(path.utf16()), 0,
                        nullptr, 0, KEY_NOTIFY, nullptr, &key, nullptr);
    if (opened != ERROR_SUCCESS)
        return KvWindowsError::fromCode(DWORD(opened));
    KvWin32Handle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event) {
        const KvError error = KvWindowsError::last();
        RegCloseKey(key);
        return error;
    }
    std::unique_ptr<KvWindowsSettingsWatch> watch(
        new KvWindowsSettingsWatch(key, std::move(event)));
    const LSTATUS armed = watch->arm();
    if (armed != ERROR_SUCCESS)
        return KvWindowsError::fromCode(DWORD(armed));
    return std::unique_ptr<KvPlatformSettingsWatch>(std::move(watch));
}

KvWindowsSettingsWatch::KvWindowsSettingsWatch(HKEY key, KvWin32Handle event)
    : key(key)
    , event(std::move(event))
    , notifier(this->event.get())
{
    connect(&notifier, &QWinEventNotifier::activated, this, [this] {
        const LSTATUS armed = arm();
        if (armed != ERROR_SUCCESS) {
            notifier.setEnabled(false);
            kvCriticalWithCode(lcCorvane, int(armed))
                << "the settings in the registry are no longer watched: changes made by other "
                   "programs are seen after a change in the window";
        }
        emit changed();
    });
}

KvWindowsSettingsWatch::~KvWindowsSettingsWatch()
{
    notifier.setEnabled(false);
    RegCloseKey(key);
}

LSTATUS KvWindowsSettingsWatch::arm()
{
    return RegNotifyChangeKeyValue(key, TRUE, watchedChanges, event.get(), TRUE);
}
