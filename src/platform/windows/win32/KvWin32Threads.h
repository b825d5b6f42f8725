#pragma once

// Thread suspension in plain C++ (see KvWin32Job.h for why).

#include <windows.h>

class KvWin32Threads
{
public:
    // OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId): NULL on failure.
    static HANDLE open(DWORD threadId);
    // SuspendThread / ResumeThread: the previous suspend count, or
    // (DWORD)-1 on failure.
    static DWORD suspend(HANDLE thread);
    static DWORD resume(HANDLE thread);
};
