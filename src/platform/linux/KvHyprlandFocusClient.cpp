#include "platform/linux/KvHyprlandFocusClient.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

namespace {

// The longest event line and request answer taken. Hyprland's lines name an
// event and a window's class and title, its answers describe one window:
// some hundred bytes, and a title of a megabyte is none a window has.
constexpr int messageLimit = 1024 * 1024;

} // namespace

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
    // What was kept holds no line end: only what came now is searched.
    const int old = received.size();
    received += events->readAll();
    bool focusChanged = false;
    int start = 0;
    for (int end = received.indexOf('\n', old); end >= 0; end = received.indexOf('\n', start)) {
        focusChanged |= QByteArray::fromRawData(received.constData() + start, end - start)
                            .startsWith("activewindow>>");
        start = end + 1;
    }
    received.remove(0, start);
    if (received.size() > messageLimit) {
        received.clear();
        return events->drop(QStringLiteral("sent a line of over %1 bytes").arg(messageLimit));
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
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
        answer += socket->readAll();
        if (answer.size() > messageLimit) {
            socket->abort();
            events->drop(QStringLiteral("beside a request socket that answered with over %1 bytes")
                             .arg(messageLimit));
        }
    });
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
    if (answer.size() > messageLimit)
        answer.clear();
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
