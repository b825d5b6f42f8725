#pragma once

#include "DialogTestSupport.h"

#include <QObject>

class TestRuleDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void newRuleStartsBlankAndStoresExactlyTheTwelveKeys();
    void okFollowsTheName();
    void loadsEveryStoredValueAndWritesItBackUnchanged();
    void notRunningDisablesTheStateChoice();
    void cancelWritesNothing();
    void removeTakesEverySelectedPattern();
    void addAppendsThePickedPatternAndCancelAddsNothing();
    void patternNamingAnExistingFileShowsItsIcon();

private:
    TemporaryStore store;
};
