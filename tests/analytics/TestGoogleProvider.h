#pragma once

#include "MeasurementServer.h"

#include <QObject>

#include <memory>

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
    void sessionEndWaitIsBoundedWhenNoReplyComes();
    void repliesAreCountedOff();
    void collectUrl_data();
    void collectUrl();
    void invalidHostOverrideSendsNothing();

private:
    // Started for every test; hits go to it unless a test says otherwise.
    std::unique_ptr<MeasurementServer> server;
};
