#include "platform/linux/KvReporterProbe.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QVariantMap>

const char KvReporterProbe::kwinScript[] = "corvane-foreground";
const char KvReporterProbe::gnomeExtension[] = "corvane-foreground@corvane.app";
const char KvReporterProbe::gnome40Extension[] = "corvane-foreground-gnome40@corvane.app";

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

QDBusMessage gnomeShellCall(const QString &interface, const QString &method)
{
    return QDBusMessage::createMethodCall(QStringLiteral("org.gnome.Shell"),
                                          QStringLiteral("/org/gnome/Shell"), interface, method);
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

    for (const char *uuid : {gnomeExtension, gnome40Extension}) {
        QDBusMessage gnome = gnomeShellCall(QStringLiteral("org.gnome.Shell.Extensions"),
                                            QStringLiteral("GetExtensionInfo"));
        gnome << QString::fromLatin1(uuid);
        probe->send(bus, gnome, &gnomeExtensionEnabled);
    }

    QDBusMessage version =
        gnomeShellCall(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    version << QStringLiteral("org.gnome.Shell") << QStringLiteral("ShellVersion");
    probe->send(bus, version, [probe](const QDBusMessage &reply) {
        probe->gnomeShell =
            qvariant_cast<QDBusVariant>(reply.arguments().value(0)).variant().toString();
        return false;
    });
}

QString KvReporterProbe::gnomeExtensionFor(const QString &shellVersion)
{
    const int major = shellVersion.section(QLatin1Char('.'), 0, 0).toInt();
    if (major >= 45)
        return QLatin1String(gnomeExtension);
    return major >= 40 ? QLatin1String(gnome40Extension) : QString();
}

KvReporterProbe::KvReporterProbe(Answer answer, QObject *parent)
    : QObject(parent)
    , answer(std::move(answer))
{}

void KvReporterProbe::send(const QDBusConnection &bus, QDBusMessage question,
                           std::function<bool(const QDBusMessage &reply)> runs)
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
    once(runs, gnomeShell);
    deleteLater();
}
