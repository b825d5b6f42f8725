#pragma once

// The version API in plain C++ (see KvWin32Job.h).

#include <windows.h>

#include <string>
#include <vector>

class KvWin32Version
{
public:
    // GetFileVersionInfoSizeW(path, NULL).
    static DWORD size(const std::wstring &path);
    // GetFileVersionInfoW(path, 0, size, block).
    static bool read(const std::wstring &path, DWORD size, std::vector<unsigned char> &block);
    // VerQueryValueW(block, subBlock, ...): the value's bytes. String values
    // are returned with their terminating zero.
    static bool query(const std::vector<unsigned char> &block, const std::wstring &subBlock,
                      std::vector<unsigned char> &value);
};
