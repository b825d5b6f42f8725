#pragma once

#include "MeasurementServer.h"

#include <QObject>
#include <QString>

#include <memory>

class TestKvAnalytics : public QObject
{
    Q_OBJECT

public:
    explicit TestKvAnalytics(const QString &settingsRoot)
        : settingsRoot(settingsRoot)
    {}

private slots:
    void init();
    void cleanup();

    void firstStartOnACleanMachine();
    void laterStartKeepsFirstRunAndCounts();
    void runTimeAddsWholeSeconds();
    void enabledIsReadAtEveryEvent();
    void unwritableSystemScopeIsIgnored();
    void corruptCountersCountAsZero();

private:
    void useSystemScopeAt(const QString &path);

    QString settingsRoot;
    std::unique_ptr<MeasurementServer> server;
};
