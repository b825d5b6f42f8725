#pragma once

// Acts on every thread of a process, one at a time. Plain C++ without the
// system's headers, so that every build compiles and tests it; the backend
// gives it OpenThread and SuspendThread or ResumeThread.
class KvThreadSweep
{
public:
    // Opens each thread with open(threadId) and hands each that opened (its
    // result tests true) to act; each that did not goes to unreachable, at
    // once, while the failure's error is still the thread's last one. A
    // thread that cannot be opened keeps no other from its turn. Whether
    // any thread was reached.
    template<class Ids, class Open, class Act, class Unreachable>
    static bool run(const Ids &threadIds, Open open, Act act, Unreachable unreachable)
    {
        bool reached = false;
        for (const auto threadId : threadIds) {
            const auto thread = open(threadId);
            if (!thread) {
                unreachable(threadId);
                continue;
            }
            act(thread);
            reached = true;
        }
        return reached;
    }
};
