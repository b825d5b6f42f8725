#pragma once

#include "platform/KvPlatformKernel.h"

// The kernel services on Windows: each operation is the kernel32 call it is
// named after.
class KvWindowsKernel : public KvPlatformKernel
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
    bool process32First(HANDLE snapshot, KvProcessEntry &entry) override;
    bool process32Next(HANDLE snapshot, KvProcessEntry &entry) override;
    bool thread32First(HANDLE snapshot, KvThreadEntry &entry) override;
    bool thread32Next(HANDLE snapshot, KvThreadEntry &entry) override;
};
