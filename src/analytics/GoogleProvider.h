#pragma once

#include "analytics/KvProviderInterface.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>

class QEventLoop;
class QTcpSocket;

// Sends usage events as hits of the measurement protocol (version 1): one
// HTTP POST to /collect on the measurement host per hit, each on a socket of
// its own. Hits are fire and forget; answers are only waited for, never read.
// The hit that ends a session waits up to about one second for everything
// still in flight, because it is sent while the program shuts down.
//
// No network access manager: it brings Qt's bearer management along, whose
// thread could still be tearing down as the program exited, which crashed it
// now and then on its way out.
class GoogleProvider : public QObject, public KvProviderInterface
{
    Q_OBJECT
    Q_INTERFACES(KvProviderInterface)

public:
    GoogleProvider();

    void event(const KvAnalyticsEvent &event) override;
    void timing(const KvAnalyticsTiming &timing) override;
    void setTrackingId(const QString &id) override;

    // The client id the hits report ("cid"): a UUID, which the program
    // keeps from run to run. An id that is none is ignored.
    void setClientId(const QString &id);

    int pendingReplyCount() const { return pendingReplies; }

    // Where hits go: the environment variable CORVANE_MEASUREMENT_HOST (a host,
    // optionally with ":port") when set, otherwise the host built into the
    // program. An invalid override gives an invalid URL, and nothing is sent.
    static QUrl collectUrl();

    // "aid": the organisation domain's labels in reverse order, then the
    // executable's file name without its last extension, lower-cased.
    static QString applicationId(const QString &organizationDomain, const QString &executablePath);

private:
    using Parameters = QHash<QString, QString>;

    Parameters hitParameters() const;
    void send(const Parameters &hit, bool wait);
    // The server answered, or the connection failed or closed.
    void finish(QTcpSocket *socket);
    void waitForPendingReplies();

    Parameters parameters;
    int pendingReplies = 0;
    QEventLoop *waitLoop = nullptr;
};
