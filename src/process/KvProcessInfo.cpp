#include "process/KvProcessInfo.h"

#include "platform/KvPlatformKernel.h"
#include "process/KvHandle.h"

namespace {

const DWORD systemIdleProcessId = 0;
const DWORD systemProcessId = 4;

bool hasNoDirectory(const QFileInfo &info)
{
    const QString path = info.path();
    return path.isEmpty() || path == QLatin1String(".");
}

} // namespace

void KvProcessInfo::resolveFilePath()
{
    if (processId == systemIdleProcessId) {
        fileInfo.setFile(QStringLiteral("System Idle Process"));
        fileInfo.readVersionInfo();
        return;
    }
    if (processId == systemProcessId) {
        if (fileInfo.fileName().isEmpty()) {
            fileInfo.setFile(QStringLiteral("System"));
            fileInfo.readVersionInfo();
        }
        return;
    }
    const KvHandle process =
        KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation, processId);
    if (process.isValid())
        resolveFilePath(process.get());
}

void KvProcessInfo::resolveFilePath(HANDLE process)
{
    if (!hasNoDirectory(fileInfo))
        return;
    QString path;
    if (!KvPlatformKernel::current().queryFullProcessImageName(process, path))
        return;
    fileInfo.setFile(path);
    fileInfo.readVersionInfo();
}
