#include "platform/linux/KvReporterProbe.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

const char KvReporterProbe::kwinScript[] = "corvane-foreground";
const char KvReporterProbe::gnomeExtension[] = "corvane-foreground@corvane.app";

namespace {

bool kwinScriptLoaded(const QDBusMessage &reply)
{
    return reply.arguments().value(0).toBool();
}

bool gnomeExtensionEnabled(const QDBusMessage &reply)
{
    // GNOME Shell's extension state 1: enabled (named "active" since
    // GNOME 46). An unknown extension gets an empty map.
    const QVariantMap info = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    return info.value(QStringLiteral("state")).toDouble() == 1;
}

} // namespace

void KvReporterProbe::ask(const QDBusConnection &bus, Answer answer, QObject *parent)
{
    auto *probe = new KvReporterProbe(std::move(answer), parent);

    QDBusMessage kwin = QDBusMessage::createMethodCall(
        QStringLiteral("org.kde.KWin"), QStringLiteral("/Scripting"),
        QStringLiteral("org.kde.kwin.Scripting"), QStringLiteral("isScriptLoaded"));
    kwin << QString::fromLatin1(kwinScript);
    probe->send(bus, kwin, &kwinScriptLoaded);

    QDBusMessage gnome = QDBusMessage::createMethodCall(
        QStringLiteral("org.gnome.Shell"), QStringLiteral("/org/gnome/Shell"),
        QStringLiteral("org.gnome.Shell.Extensions"), QStringLiteral("GetExtensionInfo"));
    gnome << QString::fromLatin1(gnomeExtension);
    probe->send(bus, gnome, &gnomeExtensionEnabled);
}

KvReporterProbe::KvReporterProbe(Answer answer, QObject *parent)
    : QObject(parent)
    , answer(std::move(answer))
{}

void KvReporterProbe::send(const QDBusConnection &bus, QDBusMessage question,
                           bool (*runs)(const QDBusMessage &reply))
{
    question.setAutoStartService(false);
    ++outstanding;
    auto *call = new QDBusPendingCallWatcher(bus.asyncCall(question), this);
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, runs](QDBusPendingCallWatcher *answered) {
                answered->deleteLater();
                const QDBusMessage reply = answered->reply();
                settle(reply.type() == QDBusMessage::ReplyMessage && runs(reply));
            });
}

void KvReporterProbe::settle(bool runs)
{
    --outstanding;
    if (!answer || (!runs && outstanding > 0))
        return;
    const Answer once = std::move(answer);
    answer = nullptr;
    once(runs);
    deleteLater();
}
