#include "KvWin32Version.h"

DWORD KvWin32Version::size(const std::wstring &path)
{
    return GetFileVersionInfoSizeW(path.c_str(), nullptr);
}

bool KvWin32Version::read(const std::wstring &path, DWORD size, std::vector<unsigned char> &block)
{
    block.assign(size, 0);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        block.clear();
        return false;
    }
    return true;
}

bool KvWin32Version::query(const std::vector<unsigned char> &block, const std::wstring &subBlock,
                           std::vector<unsigned char> &value)
{
    if (block.empty())
        return false;
    void *data = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), subBlock.c_str(), &data, &length) || !data)
        return false;
    // The length of a string value counts characters, that of any other value
    // bytes. Only the root and translation blocks are binary here.
    const bool isString = subBlock.rfind(L"\\StringFileInfo\\", 0) == 0;
    const size_t bytes = isString ? size_t(length) * sizeof(wchar_t) : size_t(length);
    const auto *first = static_cast<const unsigned char *>(data);
    value.assign(first, first + bytes);
    return true;
}
