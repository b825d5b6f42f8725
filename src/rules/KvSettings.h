#pragma once

#include <QSettings>
#include <QStringList>
#include <QVariant>

// A handle on the application's default settings store (user scope, native
// format, the organisation and application names set at start-up).
//
// Nothing is cached here: every read asks the store. Handles on the same
// store in one process share the store's in-memory state, so a value written
// through one handle is seen at once by every other handle.
//
// Whoever keeps what it read (a live rule, the rules list) compares
// writeCount() with the count at its read instead of reading again at every
// event. The program writes through these handles, never through a
// QSettings of its own, so that every write is counted; writes of other
// processes are counted when they are reloaded (KvSettingsWatcher).
class KvSettings : public QSettings
{
public:
    KvSettings();
    ~KvSettings() override;

    // How many writes all handles have made in this process so far, counting
    // a reload of what another process wrote as one.
    static quint64 writeCount();
    // Writes what this process changed and reads the file again, which
    // something else may have written.
    static void reload();

    void setValue(const QString &key, const QVariant &value);
    void remove(const QString &key);

    // The stored value of key, or an invalid QVariant when the key is
    // missing. No defaults are registered anywhere, so a missing key
    // converts to 0, false or an empty string.
    QVariant value(const QString &key) const;

    // The store's standard array form: the count lives in key/size and
    // element n (from 1) in key/n/value. Elements beyond the stored count are
    // never read, so a shorter write leaves old tail elements unread.
    QStringList readStringArray(const QString &key);
    void writeStringArray(const QString &key, const QStringList &values);
    // The number of elements readStringArray will deliver for key.
    int arraySize(const QString &key);

    // Conversions of stored values as the rules read them. Hand-edited or
    // missing values fall back to false or 0 rather than to surprising
    // truths ("abc" is not a checked box).
    static bool toFlag(const QVariant &value);
    static unsigned toUnsigned(const QVariant &value);
};
