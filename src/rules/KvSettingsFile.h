#pragma once

#include <QByteArray>
#include <QSettings>
#include <QString>

// The user's settings file, and the working copy of it that every handle on
// the store (KvSettings) reads and writes instead.
//
// Qt's handles cannot be let near the user's file: each one reads every file
// of its chain as it is made, with an open that waits on a FIFO and reads a
// device as text; what it cannot parse it drops, and whenever something of
// the program's is pending it writes the whole file again in its own
// spelling, renaming a new regular file over whatever has the name (a device
// node included). So the handles open a copy in the program's data folder,
// one per running copy of the program, and the user's file is
//
//  - taken in (takeIn) without waiting, only when it is a regular file of at
//    most sizeLimit bytes that parses (as Qt's reader would take it whole:
//    text, every line blank, a comment, a [section] or key=value, no quote
//    left open). Anything else leaves the copy, and so the rules, as last
//    read, with one line in the log; a damaged file is also kept beside it
//    as "<file>.<UTC time>.bak", and a deleted one waits to be made again;
//  - written (publish) only after the user changed something in the window:
//    what the user wrote meanwhile is taken in first, beneath that change,
//    and a file that Qt's spelling would change in more than the change (a
//    hand edit it cannot read whole) is kept as a .bak first. Only a regular
//    file, or none in a folder of the user's, is written (see
//    KvPlatformFiles::writeRegular); after a refusal the program works from
//    the copy.
//
// Nothing of the program's own is kept in the file. Settings in the Windows
// registry have no file: there the handles open the registry as Qt does, and
// each take-in only counts a change, since whoever reads next reads anew.
class KvSettingsFile
{
public:
    // More than 1,000 rules take some 500 KiB; a file beyond this is refused
    // unread.
    static constexpr qint64 sizeLimit = 4 * 1024 * 1024;

    static KvSettingsFile &instance();
    ~KvSettingsFile();
    KvSettingsFile(const KvSettingsFile &) = delete;
    KvSettingsFile &operator=(const KvSettingsFile &) = delete;

    // The user's file; empty where the settings are kept in no file.
    const QString &path() const { return userFile; }
    // The organisation's file beside it, where earlier versions kept the
    // client id.
    QString organizationPath() const;
    // The copy the store's handles open, the user's file taken in first.
    QString workingCopy();
    // Counts the changes of the working copy: a reader that read it at
    // another count reads again.
    quint64 generation() const { return changes; }

    // Takes the user's file into the working copy if it changed and may be
    // taken. False, and nothing taken, while it is being written: read it
    // again once it settles. unsettled also holds back the verdict on a file
    // that does not parse, which may be a write caught halfway.
    bool takeIn(bool settled = true);
    // Writes what the program changed through handle (and any other handle
    // on the store) to the user's file.
    void publish(QSettings &handle);

    // Whether text is a settings file Qt reads as it is written; why says
    // where it is not.
    static bool parses(const QByteArray &text, QString &why);
    // Whether every entry line of text is still there after Qt has read the
    // file and written it again: blank lines, ';' comments, the order and
    // blanks around a line or its '=' do not count. A file Qt wrote itself
    // reads cleanly; a hand edit spelled otherwise (a key twice, a ';' in a
    // value, quotes Qt would not write, raw UTF-8) does not.
    static bool readsCleanly(const QByteArray &text);
    // The value of key in the settings file at path, read as the user's file
    // is, for values that have moved away from it.
    static QVariant valueIn(const QString &path, const QString &key);

private:
    KvSettingsFile();
    void writeWorkingCopy(const QByteArray &bytes);
    // Keeps bytes beside the user's file; the name of the copy, or empty.
    QString keep(const QByteArray &bytes);
    // Says once what is wrong with the file, and when nothing is any more.
    void note(const QString &problem, bool critical);

    QString userFile;
    QString working;
    // The user's file as last read or written.
    QByteArray lastRead;
    // Whether there was a file: one that goes missing then was deleted.
    bool seen = false;
    // The last damaged content, kept and said once.
    QByteArray damaged;
    // The last content kept before Qt's spelling replaced it.
    QByteArray kept;
    QString problem;
    // Whether the file may be written: it was a regular file, or none.
    bool writable = true;
    quint64 changes = 0;
};
