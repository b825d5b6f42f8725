#include "KvWin32Lifeline.h"

#include "KvWin32Process.h"

bool KvWin32Lifeline::start(const std::wstring &lifeline, const std::wstring &journal,
                            const std::wstring &program)
{
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    // Neither end is inheritable yet: a process that another thread starts
    // meanwhile must never get the write end, or the lifeline would wait
    // for that process too.
    if (!CreatePipe(&readEnd, &writeEnd, nullptr, 0))
        return false;
    const KvWin32Handle lifelineEnd(readEnd);
    KvWin32Handle programEnd(writeEnd);
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        return false;
    DWORD id = 0;
    KvWin32Handle started = KvWin32Process::start(
        lifeline, L"\"" + journal + L"\" \"" + program + L"\"", {readEnd}, readEnd, id);
    if (!started)
        return false;
    m_process = std::move(started);
    m_programEnd = std::move(programEnd);
    m_processId = id;
    return true;
}

bool KvWin32Lifeline::entrust(HANDLE job, std::uint64_t &held)
{
    HANDLE copy = nullptr;
    if (!m_process || !DuplicateHandle(GetCurrentProcess(), job, m_process.get(), &copy, 0, TRUE,
                                       DUPLICATE_SAME_ACCESS))
        return false;
    const std::uint64_t value = reinterpret_cast<std::uintptr_t>(copy);
    if (send({value, 1})) {
        held = value;
        return true;
    }
    // Not told: the handle is closed where it went. The error said is the
    // pipe's.
    const DWORD error = GetLastError();
    DuplicateHandle(m_process.get(), copy, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
    SetLastError(error);
    return false;
}

bool KvWin32Lifeline::withdraw(std::uint64_t held)
{
    return send({held, 0});
}

bool KvWin32Lifeline::send(const Message &message)
{
    DWORD written = 0;
    return m_programEnd &&
           WriteFile(m_programEnd.get(), &message, sizeof message, &written, nullptr) &&
           written == sizeof message;
}
