#pragma once

#include <QString>
#include <QStringList>

// The program's own options. They are read after the application object has
// taken Qt's options (-platform, -display, -style...) out of the arguments,
// so those keep working and whatever is left is ours to judge: help and the
// version are answered without starting the program, and anything else the
// program does not know is refused with the usage.
class KvCommandLine
{
public:
    // arguments: the program's arguments, the program's own path first.
    explicit KvCommandLine(const QStringList &arguments);

    // Whether the arguments ask for a run of the program.
    bool startsRun() const { return m_exitStatus < 0; }

    // Prints the help or the version to standard output, or the refusal and
    // the usage to standard error, and returns the exit status.
    int answer() const;

private:
    QString m_answer;
    int m_exitStatus = -1;
};
