#pragma once

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QTimer>

#include <functional>

// A compositor's IPC socket, kept connected for as long as the object lives:
// while the socket is gone (the compositor restarting, or not up yet) it is
// tried again every second, and while it is connected nothing runs. Its
// closing is logged once, and so is its return; what goes over it is the
// owner's business, which starts anew at every connected(). A peer that
// sends what the owner cannot take (a message beyond its bounds) is dropped
// by the owner, and connected to again as after a closed socket.
class KvCompositorSocket : public QLocalSocket
{
    Q_OBJECT

public:
    // name is how the log calls the socket; path says where it is now and
    // is asked again at every attempt, so that it can follow a compositor
    // that comes back elsewhere.
    KvCompositorSocket(const QString &name, std::function<QString()> path, QObject *parent);
    ~KvCompositorSocket() override;

    // Connects now, and again whenever the socket goes.
    void keepConnected();
    bool isConnected() const { return state() == ConnectedState; }
    // Ends the connection, saying what the peer did ("sent a line of over
    // 1048576 bytes"), at most once a minute; connects again a second later.
    void drop(const QString &what);

private:
    void attempt();
    void onStateChanged(LocalSocketState state);

    QString name;
    std::function<QString()> locate;
    QTimer retry;
    // Where the last attempt went, which the log names.
    QString lastPath;
    bool wasConnected = false;
    bool lost = false;
    // When a drop was last said, so that a peer that keeps breaking the
    // bounds does not fill the log.
    QElapsedTimer dropSaid;
    bool dropping = false;
};
