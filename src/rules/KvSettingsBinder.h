#pragma once

#include <QHash>
#include <QList>
#include <QString>

class KvSettings;
class QAbstractButton;
class QWidget;

// Moves values between a dialog's widgets and the keys of a settings handle:
// check boxes (check state), combo boxes (item data), line edits (text), list
// views (the store's array form), spin boxes (value) and groups of mutually
// exclusive buttons (index of the checked one).
//
// The binder neither owns the widgets nor the settings handle; the dialog
// that owns all of them outlives the binder's use.
class KvSettingsBinder
{
public:
    explicit KvSettingsBinder(KvSettings *settings);

    // Adds or replaces the binding of key with a single widget.
    void bind(const QString &key, QWidget *widget);
    // Adds or replaces the binding of key with an ordered group of buttons;
    // the stored value is the index of the checked one.
    void bindGroup(const QString &key, const QList<QAbstractButton *> &buttons);

    // false loads every bound widget from the store, true saves every bound
    // widget to it. A key that is missing from the store leaves its widget
    // as the dialog set it up.
    void sync(bool save);

private:
    struct Binding
    {
        QList<QAbstractButton *> buttons;
        QWidget *widget = nullptr;
    };

    void load(const QString &key, const Binding &binding, KvSettings &settings);
    void save(const QString &key, const Binding &binding, KvSettings &settings);

    QHash<QString, Binding> bindings;
    KvSettings *settings;
};
