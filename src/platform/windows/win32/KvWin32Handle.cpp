#include "KvWin32Handle.h"

#include <utility>

KvWin32Handle::KvWin32Handle(HANDLE handle)
    : m_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle)
{}

KvWin32Handle::KvWin32Handle(KvWin32Handle &&other) noexcept
    : m_handle(other.release())
{}

KvWin32Handle &KvWin32Handle::operator=(KvWin32Handle &&other) noexcept
{
    KvWin32Handle old(std::move(*this));
    m_handle = other.release();
    return *this;
}

KvWin32Handle::~KvWin32Handle()
{
    if (!m_handle)
        return;
    const DWORD error = GetLastError();
    CloseHandle(m_handle);
    SetLastError(error);
}

HANDLE KvWin32Handle::release()
{
    return std::exchange(m_handle, nullptr);
}
