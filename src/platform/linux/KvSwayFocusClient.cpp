#include "platform/linux/KvSwayFocusClient.h"
#include "support/KvLog.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtEndian>

namespace {

// Every message, both ways: the magic string, the payload's length and the
// message type in the machine's byte order, then the JSON payload.
constexpr char magic[] = "i3-ipc";
constexpr int magicSize = sizeof magic - 1;
constexpr int headerSize = magicSize + 8;

// The largest payload taken. Sway's messages are small: a window event is
// one window's node, some 2 KiB, and the answer of GET_TREE some 2 KiB a
// window, so this holds a desktop of a thousand windows with long titles,
// while a peer that announces more (up to 4 GiB) costs no more memory than
// this.
constexpr quint32 payloadLimit = 4 * 1024 * 1024;

constexpr quint32 subscribe = 2;
constexpr quint32 getTree = 4;
constexpr quint32 windowEvent = 0x80000003;

// The process of the focused window in a tree that GET_TREE answers, or 0.
qint64 focusedProcess(const QJsonObject &node)
{
    if (node.value(QLatin1String("focused")).toBool())
        return qint64(node.value(QLatin1String("pid")).toDouble());
    for (const char *children : {"nodes", "floating_nodes"}) {
        const QJsonArray list = node.value(QLatin1String(children)).toArray();
        for (const QJsonValue &child : list) {
            if (const qint64 pid = focusedProcess(child.toObject()))
                return pid;
        }
    }
    return 0;
}

} // namespace

KvSwayFocusClient::KvSwayFocusClient(const QString &socketPath, ReportHandler onReport,
                                     QObject *parent)
    : QObject(parent)
    , configured(socketPath)
    , onReport(std::move(onReport))
    , socket(new KvCompositorSocket(
          QStringLiteral("Sway's IPC socket"), [this] { return locate(); }, this))
{
    connect(socket, &QLocalSocket::connected, this, &KvSwayFocusClient::onConnected);
    connect(socket, &QLocalSocket::readyRead, this, &KvSwayFocusClient::onReadyRead);
}

QString KvSwayFocusClient::locate() const
{
    if (QFileInfo::exists(configured))
        return configured;
    const QFileInfoList others =
        QFileInfo(configured)
            .dir()
            .entryInfoList({QStringLiteral("sway-ipc.*.sock")}, QDir::System, QDir::Time);
    return others.isEmpty() ? configured : others.first().filePath();
}

void KvSwayFocusClient::onConnected()
{
    received.clear();
    send(subscribe, QByteArrayLiteral("[\"window\"]"));
    send(getTree, {});
}

void KvSwayFocusClient::send(quint32 type, const QByteArray &payload)
{
    QByteArray message(magic, magicSize);
    const quint32 header[] = {quint32(payload.size()), type};
    message.append(reinterpret_cast<const char *>(header), sizeof header);
    socket->write(message + payload);
}

void KvSwayFocusClient::onReadyRead()
{
    received += socket->readAll();
    while (received.size() >= headerSize) {
        // Messages follow each other from the connection on; anything else is
        // not Sway speaking, and a new connection starts afresh.
        const quint32 length = qFromUnaligned<quint32>(received.constData() + magicSize);
        const quint32 type = qFromUnaligned<quint32>(received.constData() + magicSize + 4);
        if (!received.startsWith(magic) || length > payloadLimit) {
            received.clear();
            return socket->drop(length > payloadLimit
                                    ? QStringLiteral("announced a message of %1 bytes").arg(length)
                                    : QStringLiteral("sent something other than Sway's messages"));
        }
        if (quint32(received.size() - headerSize) < length)
            return;
        const QJsonDocument payload = QJsonDocument::fromJson(received.mid(headerSize, length));
        received.remove(0, headerSize + int(length));
        handle(type, payload.object());
    }
}

void KvSwayFocusClient::handle(quint32 type, const QJsonObject &message)
{
    // A window of no process reports -1 or none (0), which are refused.
    if (type == subscribe && !message.value(QLatin1String("success")).toBool()) {
        kvCritical(lcNotifier) << QStringLiteral(
            "Sway refused to send window events to Corvane: the focus on "
            "Sway is not followed");
    } else if (type == getTree) {
        onReport(focusedProcess(message));
    } else if (type == windowEvent &&
               message.value(QLatin1String("change")).toString() == QLatin1String("focus")) {
        onReport(qint64(message.value(QLatin1String("container"))
                            .toObject()
                            .value(QLatin1String("pid"))
                            .toDouble()));
    }
}
