#include "process/KvHandle.h"

#include "platform/KvPlatformKernel.h"

KvHandle::KvHandle()
    : KvHandle(nullptr)
{}

KvHandle::KvHandle(HANDLE raw, HANDLE invalidValue, Closer closer)
    : closer(std::move(closer))
    , block(new Block{QAtomicInt(1), raw})
    , invalid(invalidValue)
{
    if (!this->closer) {
        KvPlatformKernel *kernel = &KvPlatformKernel::current();
        this->closer = [kernel](HANDLE handle) { kernel->closeHandle(handle); };
    }
}

KvHandle::KvHandle(const KvHandle &other)
    : closer(other.closer)
    , block(other.block)
    , invalid(other.invalid)
{
    block->references.ref();
}

KvHandle &KvHandle::operator=(const KvHandle &other)
{
    // Share the new block first, so that assigning a handle to itself or to
    // another copy of itself never closes it.
    other.block->references.ref();
    release();
    closer = other.closer;
    block = other.block;
    invalid = other.invalid;
    return *this;
}

KvHandle::~KvHandle()
{
    release();
}

void KvHandle::release()
{
    if (block->references.deref())
        return;
    const HANDLE raw = block->raw;
    if (raw != invalid) {
        block->raw = invalid;
        closer(raw);
    }
    delete block;
}

KvHandle KvHandle::openProcess(DWORD access, DWORD processId)
{
    return KvHandle(KvPlatformKernel::current().openProcess(access, processId));
}

KvHandle KvHandle::createSnapshot(DWORD flags)
{
    return KvHandle(KvPlatformKernel::current().createToolhelp32Snapshot(flags),
                    INVALID_HANDLE_VALUE);
}

bool KvHandle::isValid() const
{
    return block->raw != invalid;
}

HANDLE KvHandle::get() const
{
    return block->raw;
}
