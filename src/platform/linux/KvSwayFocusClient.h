#pragma once

#include "platform/linux/KvCompositorSocket.h"

#include <QByteArray>
#include <QJsonObject>
#include <QObject>

#include <functional>

// Follows the focus on Sway, and on compositors that speak its IPC, through
// the socket that SWAYSOCK names: Sway tells it to every program it starts,
// so the user installs nothing. The client subscribes to window events and
// reports the process of every window that takes the focus, and of the
// focused window whenever the socket connects.
//
// A message announced beyond 4 MiB, or anything that is not Sway's messages,
// drops the connection (one line in the log) and a new one is made.
//
// Sway names its socket after its own process id. When the socket named goes
// with a Sway that ended, a newer one beside it is taken: that is the same
// desktop's Sway, started again.
class KvSwayFocusClient : public QObject
{
    Q_OBJECT

public:
    using ReportHandler = std::function<void(qint64 processId)>;

    KvSwayFocusClient(const QString &socketPath, ReportHandler onReport, QObject *parent);

    void start() { socket->keepConnected(); }
    bool isConnected() const { return socket->isConnected(); }
    QString socketPath() const { return configured; }

private:
    QString locate() const;
    void onConnected();
    void onReadyRead();
    void send(quint32 type, const QByteArray &payload);
    void handle(quint32 type, const QJsonObject &message);

    QString configured;
    ReportHandler onReport;
    KvCompositorSocket *socket;
    QByteArray received;
};
