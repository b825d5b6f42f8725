#pragma once

#include <QDBusConnection>
#include <QObject>

#include <functional>

class QDBusMessage;

// Asks the desktop whether one of the foreground reporters that come with
// Corvane runs in it: the KWin script on Plasma, one of the two GNOME Shell
// extensions on GNOME (the one for GNOME 45 and later, or the one for
// GNOME 40 to 44). All questions go out at once and start no service; the
// desktop that is not there answers with an error at once. GNOME Shell is
// also asked its version, so that a user can be told which extension fits.
// The answer comes once, from the event loop, after which the probe deletes
// itself.
class KvReporterProbe : public QObject
{
    Q_OBJECT

public:
    // The reporters' names in their desktops.
    static const char kwinScript[];
    static const char gnomeExtension[];
    static const char gnome40Extension[];

    // gnomeShell: the version of the GNOME Shell that runs ("43.9"), where
    // one answered.
    using Answer = std::function<void(bool running, const QString &gnomeShell)>;

    // answer(true, ...) as soon as one desktop says its reporter runs,
    // answer(false, ...) when every question has been answered otherwise.
    // The probe is a child of parent and gives no answer once that is gone.
    static void ask(const QDBusConnection &bus, Answer answer, QObject *parent);

    // The extension that fits a GNOME Shell version; none before GNOME 40.
    static QString gnomeExtensionFor(const QString &shellVersion);

private:
    KvReporterProbe(Answer answer, QObject *parent);

    void send(const QDBusConnection &bus, QDBusMessage question,
              std::function<bool(const QDBusMessage &reply)> runs);
    void settle(bool runs);

    Answer answer;
    QString gnomeShell;
    int outstanding = 0;
};
