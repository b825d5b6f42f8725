#include "analytics/GoogleProvider.h"

#include "analytics/KvAnalyticsEvent.h"
#include "analytics/KvAnalyticsTiming.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLocale>
#include <QRandomGenerator>
#include <QScreen>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>
#include <QWindow>

#include <algorithm>
#include <utility>

#ifndef CORVANE_DEFAULT_MEASUREMENT_HOST
#error "CORVANE_DEFAULT_MEASUREMENT_HOST must name the default measurement host"
#endif

namespace {

// How long the session-end hit may hold up the shutdown.
constexpr int sessionEndWaitMs = 1000;

QString sizeText(const QSize &size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

QString actionName(const KvAnalyticsEvent &event)
{
    using Action = KvAnalyticsEvent::Action;
    switch (event.action) {
    case Action::Activated:
        return QStringLiteral("activated");
    case Action::Begin:
        return QStringLiteral("begin");
    case Action::Custom:
        return event.customAction;
    case Action::Deactivated:
        return QStringLiteral("deactivated");
    case Action::Delayed:
        return QStringLiteral("delayed");
    case Action::End:
        return QStringLiteral("end");
    }
    return event.customAction;
}

} // namespace

GoogleProvider::GoogleProvider()
{
    parameters.insert(QStringLiteral("v"), QStringLiteral("1"));
    parameters.insert(QStringLiteral("aip"), QStringLiteral("1"));
    parameters.insert(QStringLiteral("ds"), QStringLiteral("app"));
    // Until the stored client id is set: a run of its own.
    parameters.insert(QStringLiteral("cid"), QUuid::createUuid().toString(QUuid::WithoutBraces));
    parameters.insert(QStringLiteral("ul"), QLocale::system().name().toLower().replace(
                                                QLatin1Char('_'), QLatin1Char('-')));
    parameters.insert(QStringLiteral("an"), QString::fromLatin1(QUrl::toPercentEncoding(
                                                QCoreApplication::applicationName())));
    parameters.insert(QStringLiteral("aid"),
                      applicationId(QCoreApplication::organizationDomain(),
                                    QCoreApplication::applicationFilePath()));
    parameters.insert(QStringLiteral("av"), QCoreApplication::applicationVersion());
}

void GoogleProvider::event(const KvAnalyticsEvent &event)
{
    using Action = KvAnalyticsEvent::Action;
    using Category = KvAnalyticsEvent::Category;

    Parameters hit = hitParameters();
    hit.insert(QStringLiteral("t"), QStringLiteral("event"));
    hit.insert(QStringLiteral("ec"), event.category == Category::Custom
                                         ? event.customCategory
                                         : QStringLiteral("session"));
    hit.insert(QStringLiteral("ea"), actionName(event));
    if (event.category == Category::Session) {
        if (event.action == Action::Begin)
            hit.insert(QStringLiteral("sc"), QStringLiteral("start"));
        else if (event.action == Action::End)
            hit.insert(QStringLiteral("sc"), QStringLiteral("end"));
    }
    if (!event.label.isNull())
        hit.insert(QStringLiteral("el"), event.label);
    if (event.hasValue)
        hit.insert(QStringLiteral("ev"), QString::number(event.value));

    send(hit, event.category == Category::Session && event.action == Action::End);
}

void GoogleProvider::timing(const KvAnalyticsTiming &timing)
{
    Parameters hit = hitParameters();
    hit.insert(QStringLiteral("t"), QStringLiteral("timing"));
    hit.insert(QStringLiteral("utc"), timing.category);
    hit.insert(QStringLiteral("utv"),
               timing.variableKind == KvAnalyticsTiming::VariableKind::Runtime
                   ? QStringLiteral("runtime")
                   : timing.variable);
    hit.insert(QStringLiteral("utt"), QString::number(timing.time));
    if (!timing.label.isNull())
        hit.insert(QStringLiteral("utl"), timing.label);
    send(hit, false);
}

void GoogleProvider::setTrackingId(const QString &id)
{
    parameters.insert(QStringLiteral("tid"), id);
}

void GoogleProvider::setClientId(const QString &id)
{
    const QUuid uuid(id);
    if (!uuid.isNull())
        parameters.insert(QStringLiteral("cid"), uuid.toString(QUuid::WithoutBraces));
}

QUrl GoogleProvider::collectUrl()
{
    QString host = qEnvironmentVariable("CORVANE_MEASUREMENT_HOST").trimmed();
    if (host.isEmpty())
        host = QStringLiteral(CORVANE_DEFAULT_MEASUREMENT_HOST);

    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setAuthority(host, QUrl::StrictMode);
    url.setPath(QStringLiteral("/collect"));
    // Only a host and a port are accepted; anything else (user info, a path
    // smuggled into the host) would send the hits somewhere unintended.
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() ||
        url.authority().compare(host, Qt::CaseInsensitive) != 0)
        return QUrl();
    return url;
}

QString GoogleProvider::applicationId(const QString &organizationDomain,
                                      const QString &executablePath)
{
    QStringList labels = organizationDomain.split(QLatin1Char('.'));
    std::reverse(labels.begin(), labels.end());
    return labels.join(QLatin1Char('.')) + QLatin1Char('.') +
           QFileInfo(executablePath).completeBaseName().toLower();
}

void GoogleProvider::finish(QTcpSocket *socket)
{
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    if (pendingReplies > 0)
        --pendingReplies;
    if (pendingReplies == 0 && waitLoop)
        waitLoop->quit();
}

GoogleProvider::Parameters GoogleProvider::hitParameters() const
{
    Parameters hit = parameters;
    hit.insert(QStringLiteral("z"), QString::number(QRandomGenerator::global()->generate()));

    // A program without a GUI (or without screens) has nothing to describe.
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        hit.insert(QStringLiteral("sr"), sizeText(screen->size()));
        hit.insert(QStringLiteral("sd"), QStringLiteral("%1-bits").arg(screen->depth()));
    }

    const QWindow *window = QGuiApplication::focusWindow();
    if (!window) {
        const QWindowList windows = QGuiApplication::topLevelWindows();
        if (!windows.isEmpty())
            window = windows.first();
    }
    if (window)
        hit.insert(QStringLiteral("vp"), sizeText(window->size()));
    return hit;
}

void GoogleProvider::send(const Parameters &hit, bool wait)
{
    const QUrl url = collectUrl();
    if (!url.isValid()) {
        kvCritical(lcCorvane) << "CORVANE_MEASUREMENT_HOST is not a host with an optional port; "
                                 "usage report not sent";
        return;
    }

    QString body;
    for (auto it = hit.cbegin(); it != hit.cend(); ++it) {
        if (!body.isEmpty())
            body += QLatin1Char('&');
        body += it.key() + QLatin1Char('=') + it.value();
    }
    const QByteArray content = body.toUtf8();
    const QByteArray request =
        "POST " + url.path(QUrl::FullyEncoded).toLatin1() +
        " HTTP/1.1\r\nHost: " + url.authority(QUrl::FullyEncoded).toLatin1() +
        "\r\nContent-Type: application/x-www-form-urlencoded\r\n"
        "Content-Length: " +
        QByteArray::number(content.size()) + "\r\nConnection: close\r\n\r\n" + content;
    auto *socket = new QTcpSocket(this);
    connect(socket, &QTcpSocket::connected, socket, [socket, request] { socket->write(request); });
    const auto done = [this, socket] { finish(socket); };
    connect(socket, &QTcpSocket::readyRead, this, done);
    connect(socket, &QTcpSocket::disconnected, this, done);
    connect(socket, &QTcpSocket::errorOccurred, this, done);
    ++pendingReplies;
    socket->connectToHost(url.host(), quint16(url.port(80)));

    if (wait)
        waitForPendingReplies();
}

void GoogleProvider::waitForPendingReplies()
{
    if (pendingReplies == 0)
        return;

    // A local loop rather than polling: it sleeps until a reply finishes or the
    // time is up, and leaves user input alone while the program shuts down.
    QEventLoop loop;
    QEventLoop *const outer = std::exchange(waitLoop, &loop);
    QTimer::singleShot(sessionEndWaitMs, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    waitLoop = outer;
}
