#pragma once

#include "platform/KvPlatformTypes.h"

#include <QAtomicInt>

#include <functional>

// An operating-system handle shared among copies; the last copy closes it.
//
// A handle is valid while its raw value differs from its invalid value (NULL
// for process, thread and job handles; INVALID_HANDLE_VALUE for snapshots).
// Copying shares; assigning shares the new handle and then releases the old
// share exactly as destruction does. Nothing here opens anything.
class KvHandle
{
public:
    using Closer = std::function<void(HANDLE)>;

    // No handle.
    KvHandle();
    // Takes over raw. The default closer closes it with closeHandle of the
    // kernel backend that is current now, so a handle always goes back to
    // the backend that made it.
    explicit KvHandle(HANDLE raw, HANDLE invalidValue = nullptr, Closer closer = Closer());
    KvHandle(const KvHandle &other);
    KvHandle &operator=(const KvHandle &other);
    ~KvHandle();

    // OpenProcess(access, not inheritable, processId).
    static KvHandle openProcess(DWORD access, DWORD processId);
    // CreateToolhelp32Snapshot(flags, 0).
    static KvHandle createSnapshot(DWORD flags);

    bool isValid() const;
    HANDLE get() const;
    HANDLE invalidValue() const { return invalid; }

private:
    struct Block
    {
        QAtomicInt references;
        HANDLE raw;
    };

    void release();

    Closer closer;
    Block *block;
    HANDLE invalid;
};
