#include "KvWin32Threads.h"

KvWin32Handle KvWin32Threads::open(DWORD threadId)
{
    return KvWin32Handle(OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId));
}

DWORD KvWin32Threads::suspend(HANDLE thread)
{
    return SuspendThread(thread);
}

DWORD KvWin32Threads::resume(HANDLE thread)
{
    return ResumeThread(thread);
}
