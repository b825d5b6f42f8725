#pragma once

#include <QSettings>
#include <QStringList>
#include <QVariant>

// A handle on the application's settings store (user scope, native format,
// the organisation and application names set at start-up), with the store's
// array form and the conversions the rules read values with. Where the store
// is a file, the handle opens the working copy of it (KvSettingsFile), with
// the user's file taken in first; what the handle changes reaches the
// user's file through publish().
//
// Nothing is cached here: every read asks the store. Handles on the same
// store in one process share the store's in-memory state, so a value written
// through one handle is seen at once by every other handle.
class KvSettings : public QSettings
{
public:
    KvSettings();
    ~KvSettings() override;

    // The stored value of key, or an invalid QVariant when the key is
    // missing. No defaults are registered anywhere, so a missing key
    // converts to 0, false or an empty string.
    QVariant value(const QString &key) const;
    // Writes what was changed through this handle, or any other one, to the
    // store: the user's file where the store is one.
    void publish();

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
