// The lifeline of a run of the program on Windows (see KvPlatformLifeline and
// win32/KvWin32Lifeline.h): started by the program with the read end of a
// pipe as its standard input, it sleeps in one read after another until the
// program's end closes the pipe, which the system does however the program
// ends. What it reads meanwhile are the handles of the jobs that hold the
// run's CPU caps, which it keeps. If it still keeps any then, or the run's
// restriction journal is still there, the run ended holding something: the
// program's lifting of what ended runs left takes over, inheriting the jobs.
// No Qt, no threads and no window: nothing here can hold a restriction or
// wait for anything but the program.
//
//     corvane-lifeline <journal> <program>

#include "platform/windows/win32/KvWin32Lifeline.h"
#include "platform/windows/win32/KvWin32Process.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

bool readMessage(HANDLE programEnd, KvWin32Lifeline::Message &message)
{
    auto *into = reinterpret_cast<unsigned char *>(&message);
    DWORD got = 0;
    for (DWORD done = 0; done < sizeof message; done += got) {
        if (!ReadFile(programEnd, into + done, DWORD(sizeof message - done), &got, nullptr) ||
            got == 0)
            return false;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    const HANDLE programEnd = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<HANDLE> jobs;
    KvWin32Lifeline::Message message;
    while (readMessage(programEnd, message)) {
        const auto job = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(message.job));
        const auto found = std::find(jobs.begin(), jobs.end(), job);
        if (message.held && found == jobs.end()) {
            jobs.push_back(job);
        } else if (!message.held && found != jobs.end()) {
            CloseHandle(job);
            jobs.erase(found);
        }
    }
    CloseHandle(programEnd);
    SetStdHandle(STD_INPUT_HANDLE, nullptr);

    if (jobs.empty() && GetFileAttributesW(argv[1]) == INVALID_FILE_ATTRIBUTES)
        return 0; // nothing held
    std::wstring handed;
    for (const HANDLE job : jobs) {
        if (!handed.empty())
            handed += L',';
        handed += std::to_wstring(reinterpret_cast<std::uintptr_t>(job));
    }
    SetEnvironmentVariableW(KvWin32Lifeline::leftoverJobsVariable,
                            handed.empty() ? nullptr : handed.c_str());
    DWORD lifting = 0;
    return KvWin32Process::start(argv[2], L"--lift-leftovers", jobs, nullptr, lifting) ? 0 : 1;
}
