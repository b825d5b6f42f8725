// Exercises the plain Win32 part of the Windows backend: built with mingw-w64
// by scripts/check-windows and run under Wine where Wine is installed.
//
//   win32_check.exe            runs the checks
//   win32_check.exe --child    the process the checks restrain

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

int passed = 0;
int failed = 0;
int skipped = 0;

void check(bool condition, const char *what)
{
    std::printf("%s: %s\n", condition ? "PASS" : "FAIL", what);
    condition ? ++passed : ++failed;
}

// Wine runs the checks here but does not implement CPU-rate control; real
// Windows must.
bool runningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

void checkRate(bool set, const char *what)
{
    if (!set && runningUnderWine()) {
        std::printf("SKIP: %s (Wine does not implement CPU-rate control, error %lu)\n", what,
                    GetLastError());
        ++skipped;
        return;
    }
    check(set, what);
}

std::wstring ownPath()
{
    wchar_t buffer[2048];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, 2048);
    return std::wstring(buffer, length);
}

std::wstring queryString(const std::vector<unsigned char> &block, const wchar_t *name)
{
    std::vector<unsigned char> value;
    if (!KvWin32Version::query(block, std::wstring(L"\\StringFileInfo\\040904b0\\") + name, value))
        return std::wstring();
    return std::wstring(reinterpret_cast<const wchar_t *>(value.data()));
}

void checkVersionResource()
{
    const std::wstring path = ownPath();
    const DWORD size = KvWin32Version::size(path);
    check(size > 0, "own executable has a version resource");
    std::vector<unsigned char> block;
    check(KvWin32Version::read(path, size, block), "version resource reads");

    std::vector<unsigned char> fixed;
    bool fixedRead = KvWin32Version::query(block, L"\\", fixed) &&
                     fixed.size() >= sizeof(VS_FIXEDFILEINFO);
    check(fixedRead, "fixed file information present");
    if (fixedRead) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, fixed.data(), sizeof info);
        check(HIWORD(info.dwFileVersionMS) == 1 && LOWORD(info.dwFileVersionMS) == 0 &&
                  HIWORD(info.dwFileVersionLS) == 148,
              "file version is 1.0.148");
    }
    std::vector<unsigned char> translations;
    check(KvWin32Version::query(block, L"\\VarFileInfo\\Translation", translations) &&
              translations.size() == 4,
          "one translation");
    check(queryString(block, L"CompanyName") == L"Veltrom", "company name is Veltrom");
    check(queryString(block, L"ProductName") == L"Corvane", "product name is Corvane");
}

bool startChild(PROCESS_INFORMATION &child)
{
    std::wstring commandLine = L"\"" + ownPath() + L"\" --child";
    STARTUPINFOW startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    std::memset(&child, 0, sizeof child);
    return CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &child) != FALSE;
}

void checkSnapshotFindsChild(DWORD childId)
{
    HANDLE snapshot = KvWin32Toolhelp::createSnapshot(2 /* TH32CS_SNAPPROCESS */);
    check(snapshot != INVALID_HANDLE_VALUE, "process snapshot taken");
    bool found = false;
    KvWin32Toolhelp::ProcessEntry entry;
    for (bool more = KvWin32Toolhelp::processFirst(snapshot, entry); more;
         more = KvWin32Toolhelp::processNext(snapshot, entry)) {
        if (entry.processId == childId)
            found = entry.parentProcessId == GetCurrentProcessId();
    }
    CloseHandle(snapshot);
    check(found, "child listed with this process as parent");
}

std::vector<DWORD> threadsOf(DWORD processId)
{
    std::vector<DWORD> threads;
    HANDLE snapshot = KvWin32Toolhelp::createSnapshot(4 /* TH32CS_SNAPTHREAD */);
    KvWin32Toolhelp::ThreadEntry entry;
    for (bool more = KvWin32Toolhelp::threadFirst(snapshot, entry); more;
         more = KvWin32Toolhelp::threadNext(snapshot, entry)) {
        if (entry.ownerProcessId == processId)
            threads.push_back(entry.threadId);
    }
    CloseHandle(snapshot);
    return threads;
}

void checkJob(DWORD childId)
{
    HANDLE job = KvWin32Job::create();
    check(job != nullptr, "job created");
    check(KvWin32Job::setExtendedLimitFlags(job, 0x1000), "breakaway limit set");
    checkRate(KvWin32Job::setCpuRateControl(job, 5, 2500), "CPU rate set to 25%");
    HANDLE process = KvWin32Toolhelp::openProcess(0x0101, childId);
    check(process != nullptr, "child opened for quota");
    check(KvWin32Job::assignProcess(job, process), "child assigned to job");
    checkRate(KvWin32Job::setCpuRateControl(job, 5, 10000), "CPU rate raised to 100%");

    HANDLE query = KvWin32Toolhelp::openProcess(0x1000, childId);
    std::wstring image;
    check(query && KvWin32Toolhelp::fullImageName(query, image) && image == ownPath(),
          "child image path is this executable");
    if (query)
        CloseHandle(query);
    if (process)
        CloseHandle(process);
    CloseHandle(job);
}

void checkSuspension(DWORD childId)
{
    const std::vector<DWORD> threads = threadsOf(childId);
    check(!threads.empty(), "child threads listed");
    for (DWORD threadId : threads) {
        HANDLE thread = KvWin32Threads::open(threadId);
        if (!thread) {
            check(false, "thread opened");
            continue;
        }
        // Windows counts suspensions: the second returns the first's count.
        const DWORD first = KvWin32Threads::suspend(thread);
        const DWORD second = KvWin32Threads::suspend(thread);
        check(first == 0 && second == 1, "suspend counts per thread");
        check(KvWin32Threads::resume(thread) == 2 && KvWin32Threads::resume(thread) == 1,
              "resume counts down");
        CloseHandle(thread);
    }
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && std::wcscmp(argv[1], L"--child") == 0) {
        Sleep(30000);
        return 0;
    }

    checkVersionResource();
    PROCESS_INFORMATION child;
    check(startChild(child), "child started");
    if (child.hProcess) {
        Sleep(200);
        checkSnapshotFindsChild(child.dwProcessId);
        checkJob(child.dwProcessId);
        checkSuspension(child.dwProcessId);
        TerminateProcess(child.hProcess, 0);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    std::printf("%d checks passed, %d failed, %d skipped\n", passed, failed, skipped);
    return failed == 0 ? 0 : 1;
}
