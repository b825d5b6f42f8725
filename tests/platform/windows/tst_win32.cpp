// The Qt-free part of the Windows backend, as a program of its own that the
// Windows build runs as a test under Wine: the calls in the order the backend
// makes them. One line per check; exits 1 when any failed. With --child it is
// the process the checks restrain; with --busy it keeps a CPU busy, for
// scripts/check-windows to restrain.

#include "platform/windows/KvJobCpuRate.h"
#include "platform/windows/KvThreadSweep.h"
#include "platform/windows/win32/KvWin32Files.h"
#include "platform/windows/win32/KvWin32Job.h"
#include "platform/windows/win32/KvWin32Lifeline.h"
#include "platform/windows/win32/KvWin32Process.h"
#include "platform/windows/win32/KvWin32Threads.h"
#include "platform/windows/win32/KvWin32Toolhelp.h"
#include "platform/windows/win32/KvWin32Version.h"

#include <algorithm>
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

// What Wine does not implement (CPU-rate control) or answers wrongly
// (IsProcessInJob: any process is in any job, and only for handles with
// full rights); real Windows must pass.
void checkBeyondWine(bool condition, const char *what)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (!condition && ntdll && GetProcAddress(ntdll, "wine_get_version"))
        std::printf("SKIP: %s (not as Windows under Wine)\n", what);
    else
        check(condition, what);
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
    const KvWin32Handle first = KvWin32Files::openForAppending(log);
    const KvWin32Handle second = KvWin32Files::openForAppending(log);
    DWORD written = 0;
    check(first && second && WriteFile(first.get(), "a\n", 2, &written, nullptr) &&
              WriteFile(second.get(), "b\n", 2, &written, nullptr),
          "log opened twice for appending");
    check(MoveFileExW(log.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING), "open log renamed");
    check(WriteFile(first.get(), "c\n", 2, &written, nullptr), "renamed log still written");
    DeleteFileW(older.c_str());
}

void checkListing(DWORD childId)
{
    std::vector<KvWin32Toolhelp::ProcessEntry> processes;
    const bool listed =
        KvWin32Toolhelp::processes(processes) &&
        std::any_of(processes.begin(), processes.end(), [childId](const auto &process) {
            return process.processId == childId && process.parentProcessId == GetCurrentProcessId();
        });
    check(listed, "child listed with this process as parent");
    const KvWin32Handle query = KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION, childId);
    std::wstring image;
    check(query && KvWin32Process::imagePath(query.get(), image) && image == ownPath(),
          "child image path is this executable");
    unsigned long long own = 0, started = 0;
    check(KvWin32Process::creationTime(GetCurrentProcess(), own) && query &&
              KvWin32Process::creationTime(query.get(), started) && own != 0 && own <= started,
          "child started after this process");
}

KvWin32Handle checkJob(DWORD childId)
{
    KvWin32Handle job = KvWin32Job::create();
    check(job && KvWin32Job::setExtendedLimitFlags(job.get(), JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK),
          "job with breakaway made");
    const auto cap = KvJobCpuRate::hardCapAt(2500);
    checkBeyondWine(cap &&
                        KvWin32Job::setCpuRateControl(job.get(), cap->controlFlags, cap->cpuRate),
                    "CPU rate set to 25%");
    const KvWin32Handle quota =
        KvWin32Process::open(PROCESS_SET_QUOTA | PROCESS_TERMINATE, childId);
    check(quota && KvWin32Job::assignProcess(job.get(), quota.get()), "child assigned to job");
    const KvWin32Handle query = KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION, childId);
    bool inJob = false, ownInJob = true;
    checkBeyondWine(query && KvWin32Job::isProcessInJob(query.get(), job.get(), inJob) && inJob &&
                        KvWin32Job::isProcessInJob(GetCurrentProcess(), job.get(), ownInJob) &&
                        !ownInJob,
                    "job reaches the child only");
    const auto lift = KvJobCpuRate::hardCapAt(KvJobCpuRate::wholeMachine);
    checkBeyondWine(lift &&
                        KvWin32Job::setCpuRateControl(job.get(), lift->controlFlags, lift->cpuRate),
                    "CPU rate lifted to 100%");
    std::vector<DWORD> members;
    check(KvWin32Job::processIds(job.get(), members) && members == std::vector<DWORD>{childId},
          "the job lists the child");
    return job;
}

// A run that ends holding a job: its lifeline hands the job to the program's
// lifting, which names the job's process in its log.
void checkLifeline(HANDLE job, DWORD childId)
{
    const std::wstring app = ownPath().substr(0, ownPath().rfind(L'\\')) + L"\\..\\..\\src\\app\\";
    KvWin32Lifeline lifeline;
    std::uint64_t held = 0;
    check(lifeline.start(app + L"corvane-lifeline.exe", ownPath() + L".journal",
                         app + L"corvane.exe") &&
              lifeline.entrust(job, held),
          "job handed to the lifeline");
    lifeline.end();
    wchar_t local[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"LOCALAPPDATA", local, MAX_PATH);
    const std::wstring log = std::wstring(local) + L"\\Veltrom\\Corvane\\corvane.log";
    const std::string named = "job of process(es) #" + std::to_string(childId);
    std::string text;
    for (int wait = 0; wait < 300 && text.find(named) == std::string::npos; ++wait) {
        Sleep(100);
        if (FILE *file = _wfopen(log.c_str(), L"rb")) {
            char buffer[4096];
            text.clear();
            for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
                text.append(buffer, got);
            std::fclose(file);
        }
    }
    check(WaitForSingleObject(lifeline.process(), 10000) == WAIT_OBJECT_0 &&
              text.find(named) != std::string::npos,
          "the lifting reached the job the lifeline held");
    checkBeyondWine(text.find(named + " left by a previous run removed") != std::string::npos,
                    "the job's CPU rate lifted");
}

// A job without the breakaway flag keeps what its members start: the one
// job of a rule that shares its limit.
void checkSharedJob()
{
    const KvWin32Handle job = KvWin32Job::create();
    std::wstring commandLine = L"\"" + ownPath() + L"\" --spawn";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION member{};
    check(job &&
              CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                             nullptr, nullptr, &startup, &member) &&
              KvWin32Job::assignProcess(job.get(), member.hProcess) &&
              ResumeThread(member.hThread) != DWORD(-1),
          "member of a shared job started");
    DWORD started = 0;
    check(member.hProcess && WaitForSingleObject(member.hProcess, 10000) == WAIT_OBJECT_0 &&
              GetExitCodeProcess(member.hProcess, &started) && started != 0,
          "member started a process");
    const KvWin32Handle child =
        KvWin32Process::open(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, started);
    bool inJob = false;
    checkBeyondWine(child && KvWin32Job::isProcessInJob(child.get(), job.get(), inJob) && inJob,
                    "what a member starts is in the shared job");
    if (child)
        TerminateProcess(child.get(), 0);
    CloseHandle(member.hThread);
    CloseHandle(member.hProcess);
}

// Windows counts suspensions per thread; a thread gone since the snapshot
// (id 0 here) keeps no other from its turn.
void checkSuspension(DWORD childId)
{
    std::vector<DWORD> threads;
    check(KvWin32Toolhelp::threadsOf(childId, threads) && !threads.empty(), "child threads listed");
    std::vector<DWORD> ids = threads;
    ids.insert(ids.begin(), 0);
    const auto sweep = [&ids](DWORD (*act)(HANDLE), DWORD expected) {
        std::vector<DWORD> previous, errors;
        const bool reached = KvThreadSweep::run(
            ids, &KvWin32Threads::open,
            [&](const KvWin32Handle &thread) { previous.push_back(act(thread.get())); },
            [&](DWORD) { errors.push_back(GetLastError()); });
        return reached && errors.size() == 1 && errors[0] != 0 &&
               previous == std::vector<DWORD>(ids.size() - 1, expected);
    };
    check(sweep(KvWin32Threads::suspend, 0), "every thread suspended");
    check(sweep(KvWin32Threads::suspend, 1) && sweep(KvWin32Threads::resume, 2) &&
              sweep(KvWin32Threads::resume, 1),
          "suspensions counted per thread");
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc > 1 && std::wcscmp(argv[1], L"--child") == 0) {
        Sleep(30000);
        return 0;
    }
    for (volatile bool busy = argc > 1 && std::wcscmp(argv[1], L"--busy") == 0; busy;) {
    }
    std::wstring commandLine = L"\"" + ownPath() + L"\" --child";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const bool started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &child);
    // A member of a shared job: its child's id is its exit code.
    if (argc > 1 && std::wcscmp(argv[1], L"--spawn") == 0)
        return started ? int(child.dwProcessId) : 0;
    checkVersionResource();
    checkLogRotation();
    checkSharedJob();
    check(started, "child started");
    if (child.hProcess) {
        Sleep(200);
        checkListing(child.dwProcessId);
        const KvWin32Handle job = checkJob(child.dwProcessId);
        checkSuspension(child.dwProcessId);
        checkLifeline(job.get(), child.dwProcessId);
        TerminateProcess(child.hProcess, 0);
        unsigned long long created = 0;
        check(WaitForSingleObject(child.hProcess, 10000) == WAIT_OBJECT_0 &&
                  KvWin32Process::creationTime(child.hProcess, created) &&
                  KvWin32Process::hasExited(child.hProcess),
              "an ended process that a handle holds is seen to have ended");
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    std::printf("%d checks failed\n", failed);
    return failed == 0 ? 0 : 1;
}
