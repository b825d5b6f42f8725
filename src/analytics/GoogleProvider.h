#pragma once

#include "analytics/KvProviderInterface.h"

#include <QHash>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

class QEventLoop;
class QNetworkReply;

// Sends usage events as hits of the measurement protocol (version 1): one
// HTTP POST to /collect on the measurement host per hit. Hits are fire and
// forget; replies are only counted, never read. The hit that ends a session
// waits up to about one second for everything still in flight, because it is
// sent while the program shuts down.
class GoogleProvider : public QObject, public KvProviderInterface
{
    Q_OBJECT
    Q_INTERFACES(KvProviderInterface)

public:
    GoogleProvider();
    ~GoogleProvider() override;

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

private slots:
    void on_https_finished(QNetworkReply *reply);

private:
    using Parameters = QHash<QString, QString>;

    Parameters hitParameters() const;
    void send(const Parameters &hit, bool wait);
    void waitForPendingReplies();

    Parameters parameters;
    QNetworkAccessManager network;
    int pendingReplies = 0;
    QEventLoop *waitLoop = nullptr;
};
