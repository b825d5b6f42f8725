#pragma once

#include "platform/simulated/KvSimulatedMachine.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <functional>

// Puts the application's settings store into a fresh temporary folder for
// the lifetime of the object, so tests never touch the user's own rules.
class TemporaryStore
{
public:
    TemporaryStore()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("CorvaneTests"));
        QCoreApplication::setApplicationName(QStringLiteral("dialogs"));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    }

    bool isValid() const { return dir.isValid(); }

    // Empties the store between test functions.
    static void clear()
    {
        QSettings settings;
        settings.clear();
        settings.sync();
    }

private:
    QTemporaryDir dir;
};

// A simulated machine, current for the lifetime of the object, so that the
// process table of the select dialog shows known processes only.
class InstalledMachine : public KvSimulatedMachine
{
public:
    InstalledMachine() { installAsCurrent(); }
    ~InstalledMachine() override { uninstall(); }
};

// Runs action on the next modal dialog of type T that the code under test
// opens with exec(). The dialog is looked for from the event loop that
// exec() runs, so the test never waits for a person. The watch ends with
// `scope` (a local object of the test function), so a watch whose dialog
// never came cannot act on a later test's dialog.
template<class T> void onNextModal(QObject *scope, std::function<void(T *)> action)
{
    auto *timer = new QTimer(scope);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
        auto *dialog = dynamic_cast<T *>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer->stop();
        timer->deleteLater();
        action(dialog);
    });
    timer->start();
}

// The child of parent with that object name and type, or nullptr.
template<class T> T *child(const QObject *parent, const char *name)
{
    return parent->findChild<T *>(QString::fromLatin1(name));
}
