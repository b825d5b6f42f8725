#pragma once

#include "platform/KvResult.h"

#include <QElapsedTimer>

#include <functional>

// When a lifeline that ended is started again: at once, unless the last
// start was less than ten seconds ago, so that one that keeps ending cannot
// keep the program busy starting it.
class KvLifelineRestart
{
public:
    void started() { lastStart.start(); }
    // Calls spawn when the time comes, and logs why it failed if it does;
    // spawn returns at once where a lifeline runs again by then.
    void schedule(const std::function<KvStatus()> &spawn);

private:
    QElapsedTimer lastStart;
};
