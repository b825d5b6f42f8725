#pragma once

// A kernel handle that closes itself, in plain C++ (see KvWin32Job.h).

#include <windows.h>

class KvWin32Handle
{
public:
    KvWin32Handle() = default;
    // Some calls say "none" with INVALID_HANDLE_VALUE rather than NULL; both
    // make an empty holder.
    explicit KvWin32Handle(HANDLE handle);
    KvWin32Handle(KvWin32Handle &&other) noexcept;
    KvWin32Handle &operator=(KvWin32Handle &&other) noexcept;
    KvWin32Handle(const KvWin32Handle &) = delete;
    KvWin32Handle &operator=(const KvWin32Handle &) = delete;
    // Keeps the thread's last error: a failure is read after its handles go.
    ~KvWin32Handle();

    HANDLE get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }
    // Hands the handle over without closing it.
    HANDLE release();

private:
    HANDLE m_handle = nullptr;
};
