#pragma once

#include "DialogTestSupport.h"

#include <QObject>

class TestRuleIdGenerator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void randomIdIsTheUuidTailReadLittleEndian();
    void newIdSkipsZeroAndStoredIds();

private:
    TemporaryStore store;
};
