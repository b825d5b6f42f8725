#pragma once

#include <QObject>
#include <QString>

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
    void disabledSendsNothingButCounts();
    void enabledIsReadAtEveryEvent();
    void unwritableSystemScopeIsIgnored();
    void corruptCountersCountAsZero();

private:
    void useSystemScopeAt(const QString &path);

    QString settingsRoot;
};
