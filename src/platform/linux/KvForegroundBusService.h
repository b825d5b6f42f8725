#pragma once

#include <QObject>

#include <functional>

// The program's own service on the session bus, where a script of the
// desktop reports the process of every newly active window: on a Wayland
// desktop only the compositor knows which native window is active, and
// X11 sees none of them. The reporters shipped under resources/wayland call
//
//     app.corvane.Corvane /app/corvane/Corvane
//     app.corvane.Corvane.Foreground.ReportProcess(u processId)
//
// Every report is handed on as it came: what is made of it is
// KvWaylandForeground's business, which takes the compositors' reports too.
//
// The name can have one owner. A second copy of the program queues for it:
// it receives no reports until the first copy ends, when the bus hands the
// name on by itself.
class KvForegroundBusService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.corvane.Corvane.Foreground")

public:
    static const char serviceName[];
    static const char objectPath[];

    using ReportHandler = std::function<void(qint64 processId)>;

    KvForegroundBusService(ReportHandler onReport, QObject *parent);

    // Offers the method and asks for the name. False, with a log line, when
    // there is no session bus or it refuses us.
    bool start();

    // Whether this copy owns the name, so that reports reach it.
    bool ownsName() const { return owner; }

public slots:
    // The method on the bus, named as D-Bus names its methods.
    Q_SCRIPTABLE void ReportProcess(uint processId);
    // The same for callers that cannot send an unsigned value: KWin's
    // callDBus passes a JavaScript number on as a signed 32-bit one.
    Q_SCRIPTABLE void ReportProcess(int processId);

private:
    void onNameAcquired(const QString &name);

    ReportHandler onReport;
    bool owner = false;
};
