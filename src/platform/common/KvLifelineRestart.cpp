#include "platform/common/KvLifelineRestart.h"

#include "support/KvLog.h"

#include <QCoreApplication>
#include <QTimer>

namespace {

const qint64 intervalMs = 10000;

} // namespace

void KvLifelineRestart::schedule(const std::function<KvStatus()> &spawn)
{
    const auto restart = [spawn] {
        const KvStatus started = spawn();
        if (!started)
            kvCriticalWithCode(lcGovernor, started.error().code)
                << "no lifeline: " << started.error().message;
    };
    const qint64 wait = lastStart.isValid() ? intervalMs - lastStart.elapsed() : 0;
    if (wait <= 0)
        restart();
    else
        QTimer::singleShot(int(wait), QCoreApplication::instance(), restart);
}
