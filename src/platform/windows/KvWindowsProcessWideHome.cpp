#include "platform/windows/KvWindowsProcessWideHome.h"

#include <windows.h>

#include <cstring>

KvProcessWideHome *KvProcessWideHome::native()
{
    static KvWindowsProcessWideHome backend;
    return &backend;
}

bool KvWindowsProcessWideHome::find(const QString &className, void *&address)
{
    const std::wstring name = className.toStdWString();
    WNDCLASSEXW windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    if (!GetClassInfoExW(GetModuleHandleW(nullptr), name.c_str(), &windowClass))
        return false;
    address = reinterpret_cast<void *>(windowClass.lpfnWndProc);
    return true;
}

bool KvWindowsProcessWideHome::publish(const QString &className, void *address)
{
    const std::wstring name = className.toStdWString();
    WNDCLASSEXW windowClass;
    std::memset(&windowClass, 0, sizeof windowClass);
    windowClass.cbSize = sizeof windowClass;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    // The class never makes a window: its window procedure field only
    // carries the table's address.
    windowClass.lpfnWndProc = reinterpret_cast<WNDPROC>(address);
    windowClass.lpszClassName = name.c_str();
    return RegisterClassExW(&windowClass) != 0;
}
