#pragma once

// Thread suspension in plain C++ (see KvWin32Job.h for why).

#include "KvWin32Handle.h"

class KvWin32Threads
{
public:
    // OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId): empty on failure.
    static KvWin32Handle open(DWORD threadId);
    // SuspendThread / ResumeThread: the previous suspend count, or
    // (DWORD)-1 on failure.
    static DWORD suspend(HANDLE thread);
    static DWORD resume(HANDLE thread);
};
