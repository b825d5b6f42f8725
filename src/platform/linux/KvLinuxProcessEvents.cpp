#include "platform/linux/KvLinuxProcessEvents.h"

#include "platform/KvPlatformKernel.h"
#include "platform/linux/KvLinuxProcReader.h"
#include "platform/linux/KvProcPollingSource.h"
#include "platform/linux/KvProcessConnectorSource.h"

#include <cerrno>
#include <cstring>

std::unique_ptr<KvProcessEventSource> KvLinuxProcessEvents::subscribe()
{
    QString reason = QStringLiteral("process connector not tried");
    if (m_connectorAllowed) {
        if (std::unique_ptr<KvProcessConnectorSource> connector = KvProcessConnectorSource::open())
            return connector;
        reason = QStringLiteral("process connector unavailable: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
    }
    const KvLinuxProcReader reader;
    if (reader.isReadable())
        return std::make_unique<KvProcPollingSource>(reason);

    const int error = errno ? errno : ENOENT;
    KvPlatformKernel::current().setLastError(static_cast<DWORD>(error));
    return std::make_unique<KvProcessEventSource>(
        false, reason + QStringLiteral("; /proc cannot be read: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(error))));
}

KvPlatformProcessEvents *KvPlatformProcessEvents::native()
{
    static KvLinuxProcessEvents backend;
    return &backend;
}
