#include "platform/linux/KvHyprlandFocusClient.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

KvHyprlandFocusClient::KvHyprlandFocusClient(const QString &signature, ReportHandler onReport,
                                             QObject *parent)
    : QObject(parent)
    , signature(signature)
    , onReport(std::move(onReport))
    , events(new KvCompositorSocket(
          QStringLiteral("Hyprland's event socket"),
          [this] { return folder() + QLatin1String("/.socket2.sock"); }, this))
{
    connect(events, &QLocalSocket::connected, this, [this] {
        received.clear();
        request();
    });
    connect(events, &QLocalSocket::readyRead, this, &KvHyprlandFocusClient::onEvents);
}

QString KvHyprlandFocusClient::folder() const
{
    const QString current =
        qEnvironmentVariable("XDG_RUNTIME_DIR") + QLatin1String("/hypr/") + signature;
    const QString older = QLatin1String("/tmp/hypr/") + signature;
    return !QFileInfo(current).isDir() && QFileInfo(older).isDir() ? older : current;
}

void KvHyprlandFocusClient::onEvents()
{
    received += events->readAll();
    bool focusChanged = false;
    int end;
    while ((end = received.indexOf('\n')) >= 0) {
        focusChanged |= received.startsWith("activewindow>>");
        received.remove(0, end + 1);
    }
    if (focusChanged)
        request();
}

void KvHyprlandFocusClient::request()
{
    if (pending) {
        askAgain = true;
        return;
    }
    answer.clear();
    auto *socket = new QLocalSocket(this);
    pending = socket;
    connect(socket, &QLocalSocket::connected, socket,
            [socket] { socket->write("j/activewindow"); });
    connect(socket, &QLocalSocket::readyRead, this,
            [this, socket] { answer += socket->readAll(); });
    // A refusal at once comes through here too, before connectToServer returns.
    connect(socket, &QLocalSocket::stateChanged, this,
            [this](QLocalSocket::LocalSocketState state) {
                if (state == QLocalSocket::UnconnectedState)
                    onAnswer();
            });
    QTimer::singleShot(2000, socket, &QLocalSocket::abort);
    socket->connectToServer(folder() + QLatin1String("/.socket.sock"));
}

void KvHyprlandFocusClient::onAnswer()
{
    if (!pending)
        return;
    answer += pending->readAll();
    pending->disconnect();
    pending->deleteLater();
    pending = nullptr;
    if (askAgain) {
        askAgain = false;
        request();
        return;
    }
    // No answer, or no window ("{}"), has nothing to report.
    const QJsonObject window = QJsonDocument::fromJson(answer).object();
    if (!window.isEmpty())
        onReport(qint64(window.value(QLatin1String("pid")).toDouble()));
}
