#pragma once

// File calls in plain C++ (see KvWin32Job.h).

#include "KvWin32Handle.h"

#include <string>

class KvWin32Files
{
public:
    // CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE |
    // FILE_SHARE_DELETE, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL): a
    // handle that appends atomically and lets others rename or delete the
    // file while it is open; empty on failure.
    static KvWin32Handle openForAppending(const std::wstring &path);
};
