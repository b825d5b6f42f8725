#include "process/KvProcessInfo.h"

#include "platform/KvPlatformKernel.h"
#include "process/KvHandle.h"

namespace {

const DWORD systemIdleProcessId = 0;
const DWORD systemProcessId = 4;

} // namespace

void KvProcessInfo::resolveFilePath()
{
    if (processId == systemIdleProcessId) {
        fileInfo.setFile(QStringLiteral("System Idle Process"));
        return;
    }
    if (processId == systemProcessId) {
        if (fileInfo.fileName().isEmpty())
            fileInfo.setFile(QStringLiteral("System"));
        return;
    }
    const KvHandle process =
        KvHandle::openProcess(KvPlatformKernel::ProcessQueryLimitedInformation, processId);
    if (process.isValid())
        resolveFilePath(process.get());
}

void KvProcessInfo::resolveFilePath(HANDLE process)
{
    if (hasResolvedPath())
        return;
    QString path;
    if (!KvPlatformKernel::current().queryFullProcessImageName(process, path))
        return;
    fileInfo.setFile(path);
}

bool KvProcessInfo::hasResolvedPath() const
{
    const QString directory = fileInfo.path();
    return !directory.isEmpty() && directory != QLatin1String(".");
}
