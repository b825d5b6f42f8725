#include "MeasurementServer.h"

#include <QTcpSocket>

QMap<QString, QString> MeasurementServer::Request::parameters() const
{
    QMap<QString, QString> result;
    for (const QByteArray &pair : body.split('&')) {
        const int equals = pair.indexOf('=');
        if (equals < 0)
            result.insert(QString::fromUtf8(pair), QString());
        else
            result.insert(QString::fromUtf8(pair.left(equals)),
                          QString::fromUtf8(pair.mid(equals + 1)));
    }
    return result;
}

MeasurementServer::MeasurementServer(QObject *parent)
    : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &MeasurementServer::onNewConnection);
}

bool MeasurementServer::listen()
{
    return server.listen(QHostAddress::LocalHost, 0);
}

QString MeasurementServer::hostAndPort() const
{
    return QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
}

void MeasurementServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        ++connections;
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void MeasurementServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = buffers[socket];
    buffer += socket->readAll();

    // One connection may carry several requests one after the other.
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        Request request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length", "0").toInt();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        received.append(request);

        if (!silent)
            socket->write("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
    }
}
