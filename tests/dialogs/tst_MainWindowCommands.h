#pragma once

#include "DialogTestSupport.h"

#include <QObject>

class TestMainWindowCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void aboutOpensTheAboutBox();

private:
    TemporaryStore store;
};
