#pragma once

#include "platform/KvPlatformSettingsWatch.h"
#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QByteArray>
#include <QString>

#include <memory>

// A file as a read that trusts nothing about it found it.
struct KvFileContent
{
    enum class Kind {
        Regular,   // read whole: bytes
        Missing,   // nothing at the path
        Refused,   // not read: refusal says why ("is a FIFO", "is larger than ...")
        Unsettled, // written to while it was read: to be read again
    };
    Kind kind = Kind::Refused;
    QByteArray bytes;
    QString refusal;
};

// What the program does to files beyond what Qt offers.
class KvPlatformFiles : public KvInstallable<KvPlatformFiles>
{
public:
    virtual ~KvPlatformFiles() = default;

    static KvPlatformFiles *native();

    // Renames from over to in one step, replacing a file of that name, so
    // that whoever reads `to` sees the old file or the new one and never a
    // part (Windows: MoveFileExW with MOVEFILE_REPLACE_EXISTING; Linux:
    // rename). Nothing is flushed to the disk.
    virtual KvStatus replace(const QString &from, const QString &to) = 0;

    // The regular file at path, a symbolic link there followed, read whole
    // when it holds at most limit bytes. Nothing else is opened, and nothing
    // waits: a FIFO's open would wait for a writer, a device would be read
    // as if it were the file.
    virtual KvFileContent readRegular(const QString &path, qint64 limit) = 0;

    // Puts bytes in the regular file at path (or in the one a symbolic link
    // there leads to) in one step: a new file, with the old one's
    // permissions and owner, renamed over it. Only a regular file is
    // replaced, or a missing one made, and only in a folder of this user;
    // anything else stays untouched and the error says what is there.
    virtual KvStatus writeRegular(const QString &path, const QByteArray &bytes) = 0;

    // Follows the settings that the system keeps for the program, whoever
    // writes them (Windows: the registry key
    // HKEY_CURRENT_USER\Software\<organization>\<application> and the keys
    // below it); null where the settings are a file, which the program
    // watches itself. Fails when the key cannot be watched.
    virtual KvResult<std::unique_ptr<KvPlatformSettingsWatch>>
    watchSettingsKey(const QString &organization, const QString &application)
    {
        Q_UNUSED(organization)
        Q_UNUSED(application)
        return std::unique_ptr<KvPlatformSettingsWatch>();
    }

protected:
    KvPlatformFiles() = default;
};
