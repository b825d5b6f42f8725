#pragma once

#include "platform/KvPlatformTypes.h"

#include <QMutex>

#include <memory>
#include <unordered_map>

// Anything a Linux backend hands out as a HANDLE: a process (pidfd), a
// snapshot, a job (cgroup), a thread. The destructor releases what the
// object holds; closeHandle destroys it.
class KvLinuxHandleObject
{
public:
    virtual ~KvLinuxHandleObject() = default;
};

// The one table of handles shared by every Linux backend, so that
// KvPlatformKernel::closeHandle closes whatever any of them gave out.
// Handle values are never reused, so a stale handle resolves to nothing
// rather than to a newer object.
class KvLinuxHandleTable
{
public:
    static KvLinuxHandleTable &instance();

    HANDLE add(std::unique_ptr<KvLinuxHandleObject> object);

    // The object behind handle if it is a T, else nullptr. The pointer stays
    // valid until the handle is closed.
    template<class T> T *resolve(HANDLE handle) { return dynamic_cast<T *>(find(handle)); }

    // Destroys the object; false for an unknown handle.
    bool close(HANDLE handle);

    int size() const;

private:
    KvLinuxHandleObject *find(HANDLE handle);

    mutable QMutex mutex;
    std::unordered_map<quintptr, std::unique_ptr<KvLinuxHandleObject>> objects;
    quintptr nextValue = 0x1000;
};
