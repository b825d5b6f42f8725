#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

// A minimal HTTP endpoint on 127.0.0.1 that records every request it gets.
// It either answers each request at once or, when silent, accepts the
// connection and never answers.
class MeasurementServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names lower-cased
        QByteArray body;

        // The body split at "&" and "=", without any decoding.
        QMap<QString, QString> parameters() const;
    };

    explicit MeasurementServer(QObject *parent = nullptr);

    bool listen();
    // "127.0.0.1:<port>", the form CORVANE_MEASUREMENT_HOST takes.
    QString hostAndPort() const;

    void setSilent(bool silent) { this->silent = silent; }
    const QList<Request> &requests() const { return received; }
    int connectionCount() const { return connections; }

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    QTcpServer server;
    QHash<QTcpSocket *, QByteArray> buffers;
    QList<Request> received;
    int connections = 0;
    bool silent = false;
};
