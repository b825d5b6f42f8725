// The plain Win32 part of the Windows backend, as a program of its own that
// scripts/check-windows builds with mingw-w64 and runs where Wine is
// installed. One line per check; exits 1 when any failed. With --child it is
// the process the checks restrain.

#include "platform/windows/win32/KvWin32Files.h"
#include "platform/windows/win32/KvWin32Job.h"
#include "platform/windows/win32/KvWin32Threads.h"
#include "platform/windows/win32/KvWin32Toolhelp.h"
#include "platform/windows/win32/KvWin32Version.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int failed = 0;

void check(bool condition, const char *what)
{
    std::printf("%s: %s\n", condition ? "PASS" : "FAIL", what);
    failed += condition ? 0 : 1;
}

// Wine does not implement CPU-rate control; real Windows must.
void checkRate(bool set, const char *what)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!set && ntdll && GetProcAddress(ntdll, "wine_get_version"))
        std::printf("SKIP: %s (Wine lacks CPU-rate control)\n", what);
    else
        check(set, what);
}

std::wstring ownPath()
{
    wchar_t buffer[2048];
    return std::wstring(buffer, GetModuleFileNameW(nullptr, buffer, 2048));
}

std::wstring versionString(const std::vector<unsigned char> &block, const wchar_t *name)
{
    std::vector<unsigned char> value;
    if (!KvWin32Version::query(block, std::wstring(L"\\StringFileInfo\\040904b0\\") + name, value))
        return std::wstring();
    return std::wstring(reinterpret_cast<const wchar_t *>(value.data()));
}

void checkVersionResource()
{
    const std::wstring path = ownPath();
    std::vector<unsigned char> block, fixed;
    check(KvWin32Version::read(path, KvWin32Version::size(path), block), "version resource read");
    VS_FIXEDFILEINFO info{};
    if (KvWin32Version::query(block, L"\\", fixed) && fixed.size() >= sizeof info)
        std::memcpy(&info, fixed.data(), sizeof info);
    check(info.dwFileVersionMS == MAKELONG(0, 1) && HIWORD(info.dwFileVersionLS) == 148,
          "file version is 1.0.148");
    check(versionString(block, L"CompanyName") == L"Veltrom", "company name is Veltrom");
    check(versionString(block, L"ProductName") == L"Corvane", "product name is Corvane");
}

// Copies of the program append to one log, and the one that finds it full
// renames it while the others have it open.
void checkLogRotation()
{
    const std::wstring log = ownPath() + L".log", older = ownPath() + L".log.1";
    DeleteFileW(older.c_str());
    HANDLE first = KvWin32Files::openForAppending(log);
    HANDLE second = KvWin32Files::openForAppending(log);
    DWORD written = 0;
    check(first != INVALID_HANDLE_VALUE && second != INVALID_HANDLE_VALUE &&
              WriteFile(first, "a\n", 2, &written, nullptr) &&
              WriteFile(second, "b\n", 2, &written, nullptr),
          "log opened twice for appending");
    check(MoveFileExW(log.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING), "open log renamed");
    check(WriteFile(first, "c\n", 2, &written, nullptr), "renamed log still written");
    CloseHandle(first);
    CloseHandle(second);
    DeleteFileW(older.c_str());
}

void checkChild(DWORD childId)
{
    HANDLE snapshot = KvWin32Toolhelp::createSnapshot(2 /* TH32CS_SNAPPROCESS */);
    bool listed = false;
    KvWin32Toolhelp::ProcessEntry process;
    for (bool more = KvWin32Toolhelp::processFirst(snapshot, process); more;
         more = KvWin32Toolhelp::processNext(snapshot, process))
        listed = listed ||
                 (process.processId == childId && process.parentProcessId == GetCurrentProcessId());
    CloseHandle(snapshot);
    check(listed, "child listed with this process as parent");

    HANDLE job = KvWin32Job::create();
    check(job && KvWin32Job::setExtendedLimitFlags(job, 0x1000), "job with breakaway made");
    checkRate(KvWin32Job::setCpuRateControl(job, 5, 2500), "CPU rate set to 25%");
    HANDLE quota = KvWin32Toolhelp::openProcess(0x0101, childId);
    check(quota && KvWin32Job::assignProcess(job, quota), "child assigned to job");
    checkRate(KvWin32Job::setCpuRateControl(job, 5, 10000), "CPU rate raised to 100%");
    HANDLE query = KvWin32Toolhelp::openProcess(0x1000, childId);
    std::wstring image;
    check(query && KvWin32Toolhelp::fullImageName(query, image) && image == ownPath(),
          "child image path is this executable");
    for (HANDLE handle : {query, quota, job})
        CloseHandle(handle);

    // Windows counts suspensions per thread.
    snapshot = KvWin32Toolhelp::createSnapshot(4 /* TH32CS_SNAPTHREAD */);
    int threads = 0;
    KvWin32Toolhelp::ThreadEntry entry;
    for (bool more = KvWin32Toolhelp::threadFirst(snapshot, entry); more;
         more = KvWin32Toolhelp::threadNext(snapshot, entry)) {
        if (entry.ownerProcessId != childId)
            continue;
        ++threads;
        HANDLE thread = KvWin32Threads::open(entry.threadId);
        check(thread && KvWin32Threads::suspend(thread) == 0 &&
                  KvWin32Threads::suspend(thread) == 1 && KvWin32Threads::resume(thread) == 2 &&
                  KvWin32Threads::resume(thread) == 1,
              "suspend counts per thread");
        CloseHandle(thread);
    }
    CloseHandle(snapshot);
    check(threads > 0, "child threads listed");
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && std::wcscmp(argv[1], L"--child") == 0) {
        Sleep(30000);
        return 0;
    }
    checkVersionResource();
    checkLogRotation();
    std::wstring commandLine = L"\"" + ownPath() + L"\" --child";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    check(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                         &startup, &child),
          "child started");
    if (child.hProcess) {
        Sleep(200);
        checkChild(child.dwProcessId);
        TerminateProcess(child.hProcess, 0);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    std::printf("%d checks failed\n", failed);
    return failed == 0 ? 0 : 1;
}
