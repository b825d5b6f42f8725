// The lifeline of a run of the program (see KvPlatformLifeline): started
// by the program with its end of a socket pair as descriptor 3, it sleeps in
// one read until the program's end closes, which the kernel does however the
// program ends. If the run's restriction journal is still there then, the run
// ended holding something, and the program's lifting of what ended runs left
// takes this process's place. No Qt and no threads: nothing here can hold
// a restriction or wait for anything but the program.
//
//     corvane-lifeline <journal> <program>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <initializer_list>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const int programEnd = 3;

// Whatever else the program left open stays the program's: a socket kept
// open here would keep its peer waiting for the program.
void closeOtherDescriptors()
{
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, programEnd + 1, ~0U, 0) == 0)
        return;
#endif
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return;
    const int listing = ::dirfd(descriptors);
    while (const dirent *entry = ::readdir(descriptors)) {
        const int fd = std::atoi(entry->d_name);
        if (fd > programEnd && fd != listing)
            ::close(fd);
    }
    ::closedir(descriptors);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fputs("usage: corvane-lifeline <journal> <program> (started by the program)\n",
                   stderr);
        return 2;
    }
    // The requests to end that reach the program's whole process group (a
    // terminal's Ctrl-C, its hang-up, a service manager's SIGTERM) are the
    // program's to follow; this process goes when the program has gone, and
    // the lifting it may start finishes whatever the session does meanwhile.
    for (const int request : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE})
        std::signal(request, SIG_IGN);
    closeOtherDescriptors();

    char byte;
    ssize_t got;
    do
        got = ::read(programEnd, &byte, 1);
    while (got > 0 || (got < 0 && errno == EINTR));
    ::close(programEnd);

    struct stat journal;
    if (::stat(argv[1], &journal) != 0)
        return 0; // nothing held
    ::execl(argv[2], argv[2], "--lift-leftovers", static_cast<char *>(nullptr));
    std::perror("corvane-lifeline: the program cannot be run to lift what its run left");
    return 1;
}
