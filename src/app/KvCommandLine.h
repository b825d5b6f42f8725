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
    // Whether the run asked for only lifts what ended runs left (the
    // lifeline's request).
    bool liftsLeftovers() const { return m_liftsLeftovers; }
    // The same, told before the application object is made, which then
    // needs no display.
    static bool asksToLiftLeftovers(int argc, char **argv);

    // Prints the help or the version to standard output, or the refusal and
    // the usage to standard error, and returns the exit status.
    int answer() const;

private:
    QString m_answer;
    int m_exitStatus = -1;
    bool m_liftsLeftovers = false;
};
