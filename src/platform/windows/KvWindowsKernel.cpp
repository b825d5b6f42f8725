#include "platform/windows/KvWindowsKernel.h"

#include "platform/windows/win32/KvWin32Toolhelp.h"

namespace {

void copyEntry(const KvWin32Toolhelp::ProcessEntry &from, KvProcessEntry &to)
{
    to.processId = from.processId;
    to.parentProcessId = from.parentProcessId;
    to.exeFile = QString::fromStdWString(from.exeFile);
}

void copyEntry(const KvWin32Toolhelp::ThreadEntry &from, KvThreadEntry &to)
{
    to.threadId = from.threadId;
    to.ownerProcessId = from.ownerProcessId;
    to.basePriority = from.basePriority;
}

template<class Entry, class Win32Entry, class Read>
bool readEntry(HANDLE snapshot, Entry &entry, Read read)
{
    Win32Entry raw;
    if (!read(snapshot, raw))
        return false;
    copyEntry(raw, entry);
    return true;
}

} // namespace

KvPlatformKernel *KvPlatformKernel::native()
{
    static KvWindowsKernel kernel;
    return &kernel;
}

DWORD KvWindowsKernel::lastError() const
{
    return GetLastError();
}

void KvWindowsKernel::setLastError(DWORD code)
{
    SetLastError(code);
}

bool KvWindowsKernel::closeHandle(HANDLE handle)
{
    return CloseHandle(handle) != FALSE;
}

DWORD KvWindowsKernel::currentProcessId() const
{
    return GetCurrentProcessId();
}

HANDLE KvWindowsKernel::currentProcess()
{
    return GetCurrentProcess();
}

DWORD KvWindowsKernel::processIdOf(HANDLE process)
{
    return GetProcessId(process);
}

HANDLE KvWindowsKernel::openProcess(DWORD access, DWORD processId)
{
    return KvWin32Toolhelp::openProcess(access, processId);
}

bool KvWindowsKernel::queryFullProcessImageName(HANDLE process, QString &path)
{
    std::wstring image;
    if (!KvWin32Toolhelp::fullImageName(process, image))
        return false;
    path = QString::fromStdWString(image);
    return true;
}

bool KvWindowsKernel::moveFileEx(const QString &existing, const QString &newName, DWORD flags)
{
    if (flags & ~DWORD(MoveFileReplaceExisting)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return MoveFileExW(reinterpret_cast<const wchar_t *>(existing.utf16()),
                       reinterpret_cast<const wchar_t *>(newName.utf16()), flags) != FALSE;
}

HANDLE KvWindowsKernel::createToolhelp32Snapshot(DWORD flags)
{
    return KvWin32Toolhelp::createSnapshot(flags);
}

bool KvWindowsKernel::process32First(HANDLE snapshot, KvProcessEntry &entry)
{
    return readEntry<KvProcessEntry, KvWin32Toolhelp::ProcessEntry>(snapshot, entry,
                                                                    KvWin32Toolhelp::processFirst);
}

bool KvWindowsKernel::process32Next(HANDLE snapshot, KvProcessEntry &entry)
{
    return readEntry<KvProcessEntry, KvWin32Toolhelp::ProcessEntry>(snapshot, entry,
                                                                    KvWin32Toolhelp::processNext);
}

bool KvWindowsKernel::thread32First(HANDLE snapshot, KvThreadEntry &entry)
{
    return readEntry<KvThreadEntry, KvWin32Toolhelp::ThreadEntry>(snapshot, entry,
                                                                  KvWin32Toolhelp::threadFirst);
}

bool KvWindowsKernel::thread32Next(HANDLE snapshot, KvThreadEntry &entry)
{
    return readEntry<KvThreadEntry, KvWin32Toolhelp::ThreadEntry>(snapshot, entry,
                                                                  KvWin32Toolhelp::threadNext);
}
