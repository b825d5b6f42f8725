#pragma once

#include <QObject>

class TestGoogleProvider : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sessionHitsCarryTheSessionKeys();
    void eventKeys_data();
    void eventKeys();
    void timingKeys();
    void onlyTheApplicationNameIsEncoded();
    void applicationId_data();
    void applicationId();
    void clientIdComesFromTheStoredGuid();
    void viewportFollowsTheWindows();
    void hitsWithoutTrackingIdHaveNoTid();
    void sessionEndWaitIsBoundedWhenNoReplyComes();
    void repliesAreCountedOff();
    void collectUrl_data();
    void collectUrl();
    void invalidHostOverrideSendsNothing();
    void interfaceIsFoundByCast();
};
