#pragma once

#include "platform/KvResult.h"

#include <windows.h>

// The errors of Win32 and COM calls, with the system's words for them.
class KvWindowsError
{
public:
    // The thread's last error (GetLastError), read at once.
    static KvError last();
    // A Win32 error code, or an HRESULT given as one. HRESULTs come out
    // negative, as log lines have always shown them.
    static KvError fromCode(DWORD code);
};
