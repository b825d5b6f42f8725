#include "KvWin32Process.h"

KvWin32Handle KvWin32Process::open(DWORD access, DWORD processId)
{
    return KvWin32Handle(OpenProcess(access, FALSE, processId));
}

bool KvWin32Process::imagePath(HANDLE process, std::wstring &path)
{
    wchar_t buffer[2048];
    DWORD size = 2048;
    if (!QueryFullProcessImageNameW(process, 0, buffer, &size))
        return false;
    path.assign(buffer, size);
    return true;
}

bool KvWin32Process::creationTime(HANDLE process, unsigned long long &time)
{
    unsigned long long used = 0;
    return times(process, time, used);
}

bool KvWin32Process::times(HANDLE process, unsigned long long &created, unsigned long long &used)
{
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return false;
    const auto value = [](const FILETIME &t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    created = value(creation);
    used = value(kernel) + value(user);
    return true;
}

bool KvWin32Process::hasExited(HANDLE process)
{
    DWORD status = 0;
    return GetExitCodeProcess(process, &status) && status != STILL_ACTIVE;
}

KvWin32Handle KvWin32Process::start(const std::wstring &program, const std::wstring &arguments,
                                    std::vector<HANDLE> inherited, HANDLE input, DWORD &processId)
{
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_FORCEOFFFEEDBACK;
    if (input) {
        startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = input;
    }
    // Without the list every inheritable handle of the caller would go
    // along, the sockets Winsock makes inheritable included.
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> attributes(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    const bool inherits = !inherited.empty();
    if (inherits) {
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size))
            return KvWin32Handle();
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                       inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
            DeleteProcThreadAttributeList(list);
            return KvWin32Handle();
        }
        startup.lpAttributeList = list;
    }
    PROCESS_INFORMATION started{};
    const bool made = CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, inherits,
                                     inherits ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
                                     &startup.StartupInfo, &started) != FALSE;
    const DWORD error = GetLastError();
    if (inherits)
        DeleteProcThreadAttributeList(list);
    if (!made) {
        SetLastError(error);
        return KvWin32Handle();
    }
    CloseHandle(started.hThread);
    processId = started.dwProcessId;
    return KvWin32Handle(started.hProcess);
}
