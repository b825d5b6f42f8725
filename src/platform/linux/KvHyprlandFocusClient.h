#pragma once

#include "platform/linux/KvCompositorSocket.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>

#include <functional>

// Follows the focus on Hyprland, which tells every program it starts its
// instance signature (HYPRLAND_INSTANCE_SIGNATURE): the user installs
// nothing. Hyprland keeps two sockets in a folder named after the signature,
// in $XDG_RUNTIME_DIR/hypr (/tmp/hypr before Hyprland 0.40):
//
//  - .socket2.sock sends every client a line per event, "NAME>>DATA";
//    "activewindow>>CLASS,TITLE" says that another window took the focus.
//  - .socket.sock answers one request per connection, as hyprctl makes
//    them: "j/activewindow" gets the active window as a JSON object, with
//    its process as "pid" ("{}" when none), and then the connection closes.
//
// Every focus event, and the connection of the event socket, is followed by
// a request, and the process in its answer is reported. Hyprland serves
// requests one at a time and stalls while a client keeps one open, so the
// client makes one at a time and gives up on an answer after two seconds;
// events that arrive meanwhile are answered by one more request, whose
// answer alone is reported. An event line or an answer of over 1 MiB drops
// the connection (one line in the log), and a new one is made.
class KvHyprlandFocusClient : public QObject
{
    Q_OBJECT

public:
    using ReportHandler = std::function<void(qint64 processId)>;

    KvHyprlandFocusClient(const QString &signature, ReportHandler onReport, QObject *parent);

    void start() { events->keepConnected(); }
    bool isConnected() const { return events->isConnected(); }
    // The folder of the sockets where they are now, or where they belong.
    QString folder() const;

private:
    void onEvents();
    void request();
    void onAnswer();

    QString signature;
    ReportHandler onReport;
    KvCompositorSocket *events;
    QByteArray received;
    QPointer<QLocalSocket> pending;
    QByteArray answer;
    bool askAgain = false;
};
