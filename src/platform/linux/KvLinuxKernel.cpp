#include "platform/linux/KvLinuxKernel.h"

#include "platform/linux/KvLinuxHandleTable.h"
#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessHandle.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "platform/linux/KvLinuxSnapshot.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

thread_local DWORD lastErrorCode = 0;

// GetCurrentProcess' pseudo handle has the same value on Windows.
HANDLE const currentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<quintptr>(-1));

} // namespace

KvPlatformKernel *KvPlatformKernel::native()
{
    static KvLinuxKernel kernel;
    return &kernel;
}

DWORD KvLinuxKernel::lastError() const
{
    return lastErrorCode;
}

void KvLinuxKernel::setLastError(DWORD code)
{
    lastErrorCode = code;
}

bool KvLinuxKernel::failWithErrno()
{
    lastErrorCode = DWORD(errno);
    return false;
}

bool KvLinuxKernel::closeHandle(HANDLE handle)
{
    if (handle == currentProcessPseudoHandle)
        return true;
    if (KvLinuxHandleTable::instance().close(handle))
        return true;
    errno = EBADF;
    return failWithErrno();
}

DWORD KvLinuxKernel::currentProcessId() const
{
    return DWORD(::getpid());
}

HANDLE KvLinuxKernel::currentProcess()
{
    return currentProcessPseudoHandle;
}

KvLinuxProcessHandle *KvLinuxKernel::resolveProcess(HANDLE process)
{
    if (process == currentProcessPseudoHandle) {
        static KvLinuxProcessHandle self(-1, DWORD(::getpid()), 0x1FFFFF);
        return &self;
    }
    return KvLinuxHandleTable::instance().resolve<KvLinuxProcessHandle>(process);
}

DWORD KvLinuxKernel::processIdOf(HANDLE process)
{
    const KvLinuxProcessHandle *object = resolveProcess(process);
    if (!object) {
        errno = EBADF;
        failWithErrno();
        return 0;
    }
    return object->processId();
}

HANDLE KvLinuxKernel::openProcess(DWORD access, DWORD processId)
{
    if (processId == 0 || processId > DWORD(INT32_MAX)) {
        errno = EINVAL;
        failWithErrno();
        return nullptr;
    }
    const int pidfd = KvLinuxProcessIdentity::openPidfd(processId);
    if (pidfd < 0) {
        failWithErrno();
        return nullptr;
    }
    auto object = std::make_unique<KvLinuxProcessHandle>(pidfd, processId, access);
    // Rights to stop or end a process are the rights to signal it; checking
    // them now fails the open, as Windows does, instead of a later step.
    if (access & (ProcessTerminate | ProcessSuspendResume)) {
        if (const int error = object->sendSignal(0)) {
            errno = error;
            failWithErrno();
            return nullptr;
        }
    }
    return KvLinuxHandleTable::instance().add(std::move(object));
}

bool KvLinuxKernel::queryFullProcessImageName(HANDLE process, QString &path)
{
    const KvLinuxProcessHandle *object = resolveProcess(process);
    if (!object) {
        errno = EBADF;
        return failWithErrno();
    }
    QString found;
    if (!KvLinuxProcFs::readImagePath(object->processId(), found))
        return failWithErrno();
    // Still running after the read means the id named this process all along.
    if (object->hasExited()) {
        errno = ESRCH;
        return failWithErrno();
    }
    path = found;
    return true;
}

bool KvLinuxKernel::moveFileEx(const QString &existing, const QString &newName, DWORD flags)
{
    if (flags & ~DWORD(MoveFileReplaceExisting)) {
        errno = EINVAL;
        return failWithErrno();
    }
    const QByteArray from = QFile::encodeName(existing);
    const QByteArray to = QFile::encodeName(newName);
    const int result =
        (flags & MoveFileReplaceExisting)
            ? ::rename(from.constData(), to.constData())
            : ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
    return result == 0 || failWithErrno();
}

HANDLE KvLinuxKernel::createToolhelp32Snapshot(DWORD flags)
{
    if (!(flags & (SnapProcess | SnapThread))) {
        errno = EINVAL;
        failWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    return KvLinuxHandleTable::instance().add(std::make_unique<KvLinuxSnapshot>(flags));
}

HANDLE KvLinuxKernel::createProcessIdSnapshot()
{
    return KvLinuxHandleTable::instance().add(
        std::make_unique<KvLinuxSnapshot>(SnapProcess, KvLinuxSnapshot::IdsOnly));
}

HANDLE KvLinuxKernel::createThreadSnapshot(DWORD processId)
{
    return KvLinuxHandleTable::instance().add(
        std::make_unique<KvLinuxSnapshot>(SnapThread, KvLinuxSnapshot::Everything, processId));
}

bool KvLinuxKernel::process32First(HANDLE snapshot, KvProcessEntry &entry)
{
    KvLinuxSnapshot *object = KvLinuxHandleTable::instance().resolve<KvLinuxSnapshot>(snapshot);
    if (!object)
        errno = EBADF;
    return (object && object->firstProcess(entry)) || failWithErrno();
}

bool KvLinuxKernel::process32Next(HANDLE snapshot, KvProcessEntry &entry)
{
    KvLinuxSnapshot *object = KvLinuxHandleTable::instance().resolve<KvLinuxSnapshot>(snapshot);
    if (!object)
        errno = EBADF;
    return (object && object->nextProcess(entry)) || failWithErrno();
}

bool KvLinuxKernel::thread32First(HANDLE snapshot, KvThreadEntry &entry)
{
    KvLinuxSnapshot *object = KvLinuxHandleTable::instance().resolve<KvLinuxSnapshot>(snapshot);
    if (!object)
        errno = EBADF;
    return (object && object->firstThread(entry)) || failWithErrno();
}

bool KvLinuxKernel::thread32Next(HANDLE snapshot, KvThreadEntry &entry)
{
    KvLinuxSnapshot *object = KvLinuxHandleTable::instance().resolve<KvLinuxSnapshot>(snapshot);
    if (!object)
        errno = EBADF;
    return (object && object->nextThread(entry)) || failWithErrno();
}
