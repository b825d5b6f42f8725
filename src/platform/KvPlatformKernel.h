#pragma once

#include "platform/KvPlatformTypes.h"
#include "support/KvInstallable.h"
#include "support/KvLog.h"

#include <QString>

// One entry of a process snapshot, as PROCESSENTRY32W carries it.
struct KvProcessEntry
{
    DWORD processId = 0;
    DWORD parentProcessId = 0;
    // The bare executable file name, without a directory.
    QString exeFile;
};

// One entry of a thread snapshot, as THREADENTRY32 carries it.
struct KvThreadEntry
{
    DWORD threadId = 0;
    DWORD ownerProcessId = 0;
    LONG basePriority = 0;
};

// Kernel services: handles, errors, processes and tool-help snapshots.
//
// Every operation maps one to one onto the kernel32 call named beside it, and
// keeps that call's contract: failures return NULL / INVALID_HANDLE_VALUE /
// false and leave an error code for lastError(). Backends are not
// thread-safe beyond what the callers need: everything runs on the GUI
// thread, except that lastError() is per thread.
//
// Handles are opaque. Each backend hands out its own; a handle from one
// backend means nothing to another.
class KvPlatformKernel : public KvInstallable<KvPlatformKernel>
{
public:
    // Access rights of OpenProcess, with their Windows values.
    enum ProcessAccess : DWORD {
        ProcessTerminate = 0x0001,
        ProcessSetQuota = 0x0100,
        ProcessSuspendResume = 0x0800,
        ProcessQueryLimitedInformation = 0x1000,
    };

    // Flags of MoveFileExW.
    enum MoveFileFlags : DWORD {
        MoveFileReplaceExisting = 0x1,
    };

    // Flags of CreateToolhelp32Snapshot.
    enum SnapshotFlags : DWORD {
        SnapProcess = 0x2,
        SnapThread = 0x4,
    };

    virtual ~KvPlatformKernel() = default;

    static KvPlatformKernel *native();

    // GetLastError: the code the last failing call of this thread left.
    // Linux backends keep the errno of the failing system call.
    virtual DWORD lastError() const = 0;
    // SetLastError.
    virtual void setLastError(DWORD code) = 0;

    // CloseHandle: releases any handle this backend gave out (process,
    // thread, job, snapshot). Closing an unknown handle fails.
    virtual bool closeHandle(HANDLE handle) = 0;

    // GetCurrentProcessId.
    virtual DWORD currentProcessId() const = 0;

    // GetCurrentProcess: a pseudo handle that stands for the calling process
    // in every call that takes a process handle. It needs no closing;
    // closeHandle accepts it and does nothing.
    virtual HANDLE currentProcess() = 0;

    // GetProcessId: the id of the process an open handle refers to, or 0.
    virtual DWORD processIdOf(HANDLE process) = 0;

    // OpenProcess(access, FALSE, processId): NULL on failure. On Linux the
    // handle holds a pidfd, so it can never reach another process that was
    // later given the same id.
    virtual HANDLE openProcess(DWORD access, DWORD processId) = 0;

    // QueryFullProcessImageNameW(process, 0, ...): the full path of the
    // process's executable in the platform's native form, or false.
    virtual bool queryFullProcessImageName(HANDLE process, QString &path) = 0;

    // MoveFileExW(existing, newName, flags): renames a file. With
    // MoveFileReplaceExisting a file already called newName is replaced in
    // one step, so that a reader finds either the old file or the new one
    // (Linux: rename(2)); without it, such a file makes the call fail. No
    // other flag is accepted. Nothing is flushed to the disk, so the caller
    // pays no more than the rename itself.
    virtual bool moveFileEx(const QString &existing, const QString &newName, DWORD flags) = 0;

    // CreateToolhelp32Snapshot(flags, 0): INVALID_HANDLE_VALUE on failure.
    // The snapshot is taken at once; reading it later sees that moment.
    virtual HANDLE createToolhelp32Snapshot(DWORD flags) = 0;

    // CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0) for a caller that reads
    // nothing but th32ProcessID. Where the other fields cost a read per
    // process (Linux), a backend may leave them empty; by default this is
    // the full snapshot.
    virtual HANDLE createProcessIdSnapshot() { return createToolhelp32Snapshot(SnapProcess); }

    // CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0) for a caller that reads
    // only the threads of processId. A backend may leave out other
    // processes' threads (Windows lists them all, and so does the default);
    // callers filter by owner either way.
    virtual HANDLE createThreadSnapshot(DWORD processId)
    {
        (void)processId;
        return createToolhelp32Snapshot(SnapThread);
    }

    // Process32FirstW / Process32NextW, Thread32First / Thread32Next: false
    // when the snapshot holds no (further) entry of that kind or the handle
    // is not a snapshot.
    virtual bool process32First(HANDLE snapshot, KvProcessEntry &entry) = 0;
    virtual bool process32Next(HANDLE snapshot, KvProcessEntry &entry) = 0;
    virtual bool thread32First(HANDLE snapshot, KvThreadEntry &entry) = 0;
    virtual bool thread32Next(HANDLE snapshot, KvThreadEntry &entry) = 0;

protected:
    KvPlatformKernel() = default;
};

// A critical line with the error code the last failing call of this thread
// left.
#define kvCriticalWithError(category)                                                              \
    kvCriticalWithCode(category, KvPlatformKernel::current().lastError())
