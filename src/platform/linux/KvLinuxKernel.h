#pragma once

#include "platform/KvPlatformKernel.h"

class KvLinuxProcessHandle;

// The kernel services on Linux: processes as pidfds, snapshots from /proc,
// errno as the error code.
class KvLinuxKernel : public KvPlatformKernel
{
public:
    DWORD lastError() const override;
    void setLastError(DWORD code) override;
    bool closeHandle(HANDLE handle) override;
    DWORD currentProcessId() const override;
    HANDLE currentProcess() override;
    DWORD processIdOf(HANDLE process) override;
    HANDLE openProcess(DWORD access, DWORD processId) override;
    bool queryFullProcessImageName(HANDLE process, QString &path) override;
    bool moveFileEx(const QString &existing, const QString &newName, DWORD flags) override;
    HANDLE createToolhelp32Snapshot(DWORD flags) override;
    HANDLE createProcessIdSnapshot() override;
    HANDLE createThreadSnapshot(DWORD processId) override;
    bool process32First(HANDLE snapshot, KvProcessEntry &entry) override;
    bool process32Next(HANDLE snapshot, KvProcessEntry &entry) override;
    bool thread32First(HANDLE snapshot, KvThreadEntry &entry) override;
    bool thread32Next(HANDLE snapshot, KvThreadEntry &entry) override;

    // The process behind a handle from openProcess or currentProcess, or
    // nullptr. For the other Linux backends (jobs, suspension).
    static KvLinuxProcessHandle *resolveProcess(HANDLE process);

private:
    // Keeps errno for lastError() and returns failure in the caller's type.
    bool failWithErrno();
};
