#pragma once

#include <QDir>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QStringList>

#include <unistd.h>

// Starts the real program so that it leaves nothing in the machine-wide
// settings: run by root, it writes its client id there, and no environment
// variable moves that folder. The program runs in a mount namespace of its
// own with an empty folder mounted over that one. Where no mount namespace
// can be made (not root), it starts as it is and cannot write there anyway.
class ShieldedProgramStart
{
public:
    ShieldedProgramStart()
        : folder(QLibraryInfo::location(QLibraryInfo::SettingsPath))
    {
        shielded = ::geteuid() == 0 &&
                   QProcess::execute(QStringLiteral("unshare"),
                                     {QStringLiteral("--mount"), QStringLiteral("true")}) == 0;
        // A folder can only be mounted over where it exists; one made for
        // that goes again.
        if (shielded && !QFileInfo::exists(folder))
            made = QDir().mkpath(folder);
    }
    ~ShieldedProgramStart()
    {
        if (made)
            QDir().rmdir(folder);
    }
    ShieldedProgramStart(const ShieldedProgramStart &) = delete;
    ShieldedProgramStart &operator=(const ShieldedProgramStart &) = delete;

    void start(QProcess &process, const QString &program) const
    {
        if (!shielded) {
            process.start(program, QStringList());
            return;
        }
        process.start(
            QStringLiteral("unshare"),
            QStringList{QStringLiteral("--mount"), QStringLiteral("--propagation"),
                        QStringLiteral("private"), QStringLiteral("--"), QStringLiteral("sh"),
                        QStringLiteral("-c"),
                        QStringLiteral("mount -t tmpfs corvane-test \"$1\" && exec \"$0\""),
                        program, folder});
    }

private:
    QString folder;
    bool shielded = false;
    bool made = false;
};
