#pragma once

#include <QByteArray>
#include <QFile>
#include <QStandardPaths>

#include <csignal>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

// Starts count processes that sleep ten minutes, with their output sent
// nowhere: program, or sleep itself. Started apart from the event loop, which
// would otherwise watch each one's pipes at every turn.
inline std::vector<pid_t> startSleepers(int count, QByteArray program = QByteArray())
{
    std::vector<pid_t> children;
    if (program.isEmpty())
        program = QFile::encodeName(QStandardPaths::findExecutable(QStringLiteral("sleep")));
    if (program.isEmpty())
        return children;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char *arguments[] = {program.data(), const_cast<char *>("600"), nullptr};
    for (int i = 0; i < count; ++i) {
        pid_t child = 0;
        if (posix_spawn(&child, program.constData(), &actions, nullptr, arguments, environ) != 0)
            break;
        children.push_back(child);
    }
    posix_spawn_file_actions_destroy(&actions);
    return children;
}

inline void stopSleepers(const std::vector<pid_t> &children)
{
    for (const pid_t child : children)
        ::kill(child, SIGKILL);
    for (const pid_t child : children)
        ::waitpid(child, nullptr, 0);
}
