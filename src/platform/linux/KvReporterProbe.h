#pragma once

#include <QDBusConnection>
#include <QObject>

#include <functional>

class QDBusMessage;

// Asks the desktop whether one of the foreground reporters that come with
// Corvane runs in it: the KWin script on Plasma, the GNOME Shell extension on
// GNOME. Both questions go out at once and start no service; the desktop
// that is not there answers with an error at once. The answer comes once,
// from the event loop, after which the probe deletes itself.
class KvReporterProbe : public QObject
{
    Q_OBJECT

public:
    // The reporters' names in their desktops.
    static const char kwinScript[];
    static const char gnomeExtension[];

    using Answer = std::function<void(bool running)>;

    // answer(true) as soon as one desktop says its reporter runs,
    // answer(false) when every question has been answered otherwise. The
    // probe is a child of parent and gives no answer once that is gone.
    static void ask(const QDBusConnection &bus, Answer answer, QObject *parent);

private:
    KvReporterProbe(Answer answer, QObject *parent);

    void send(const QDBusConnection &bus, QDBusMessage question,
              bool (*runs)(const QDBusMessage &reply));
    void settle(bool runs);

    Answer answer;
    int outstanding = 0;
};
