#pragma once

// The program's side of its lifeline on Windows, in plain C++ (see
// KvWin32Job.h), and what the two say to each other.
//
// The lifeline's standard input is the read end of a pipe whose only write
// end the program keeps: the system closes it however the program ends, and
// the lifeline's read then fails. Until then the program hands it the jobs
// that hold its CPU caps, as handles of the lifeline's own: a job outlives
// the program while its processes live, and a later process can reach it
// only through a handle it was given. The lifeline hands those it still
// holds on to the program's lifting of what ended runs left.

#include "KvWin32Handle.h"

#include <cstdint>
#include <string>

class KvWin32Lifeline
{
public:
    // What the program writes down the pipe, one at a time: a job handle in
    // the lifeline's own table, which it now holds (held 1) or closes (0).
    struct Message
    {
        std::uint64_t job;
        std::uint64_t held;
    };
    // The variable in which the lifeline tells the lifting which handles it
    // inherited: their values in decimal, separated by commas.
    static constexpr const wchar_t *leftoverJobsVariable = L"CORVANE_LEFTOVER_JOBS";

    // Starts the lifeline program for the run whose journal is at journal,
    // to run program with --lift-leftovers once the run is gone.
    bool start(const std::wstring &lifeline, const std::wstring &journal,
               const std::wstring &program);
    HANDLE process() const { return m_process.get(); }
    DWORD processId() const { return m_processId; }

    // Gives the lifeline a handle of job (DuplicateHandle into it,
    // inheritable there) and tells it so; held is its value there.
    bool entrust(HANDLE job, std::uint64_t &held);
    // Tells the lifeline to close a handle it was given.
    bool withdraw(std::uint64_t held);
    // Closes the program's end, as the program's own end would.
    void end() { m_programEnd = KvWin32Handle(); }

private:
    bool send(const Message &message);

    KvWin32Handle m_process;
    KvWin32Handle m_programEnd;
    DWORD m_processId = 0;
};
