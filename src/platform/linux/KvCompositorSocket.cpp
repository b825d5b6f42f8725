#include "platform/linux/KvCompositorSocket.h"
#include "support/KvLog.h"

KvCompositorSocket::KvCompositorSocket(const QString &name, std::function<QString()> path,
                                       QObject *parent)
    : QLocalSocket(parent)
    , name(name)
    , locate(std::move(path))
{
    retry.setInterval(1000);
    connect(&retry, &QTimer::timeout, this, &KvCompositorSocket::attempt);
    connect(this, &QLocalSocket::stateChanged, this, &KvCompositorSocket::onStateChanged);
}

KvCompositorSocket::~KvCompositorSocket()
{
    // QLocalSocket closes itself on the way out, when our part is gone.
    disconnect(this, &QLocalSocket::stateChanged, this, nullptr);
}

void KvCompositorSocket::keepConnected()
{
    attempt();
}

void KvCompositorSocket::attempt()
{
    if (state() != UnconnectedState)
        return;
    lastPath = locate();
    // Even a refusal at once comes through stateChanged, which tries again.
    connectToServer(lastPath);
}

void KvCompositorSocket::drop(const QString &what)
{
    if (!dropSaid.isValid() || dropSaid.hasExpired(60000)) {
        dropSaid.start();
        kvInfo(lcNotifier) << QStringLiteral(
                                  "%1 at %2 %3: the connection is dropped and made again")
                                  .arg(name, lastPath, what);
    }
    // The closing is this one line's, and so is the return.
    dropping = true;
    abort();
    dropping = false;
}

void KvCompositorSocket::onStateChanged(LocalSocketState state)
{
    if (state == ConnectedState) {
        retry.stop();
        wasConnected = true;
        if (lost)
            kvInfo(lcNotifier) << QStringLiteral("%1 is back at %2").arg(name, lastPath);
        lost = false;
    } else if (state == UnconnectedState) {
        if (wasConnected && !lost && !dropping) {
            lost = true;
            kvInfo(lcNotifier)
                << QStringLiteral("%1 at %2 closed: the compositor's focus is not followed until "
                                  "it is back")
                       .arg(name, lastPath);
        }
        retry.start();
    }
}
