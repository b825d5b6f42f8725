#pragma once

#include <QDateTime>
#include <QString>

// Keeps the settings files that Qt's reader does not take in whole. Qt's INI
// reader skips what it cannot parse, mostly without saying so (status()
// reports a line without '=' only once its section is read, and not at all a
// repeated key, a ';' in the middle of a value that cuts it short, a quote
// left open that swallows the lines after it, or a value it cannot decode);
// the next write of the file, which the program makes at every start, then
// drops those lines for good.
class KvSettingsBackup
{
public:
    // Copies each settings file the program writes (the application's and
    // the organisation's) that does not read cleanly to
    // "<file>.<time>.bak" beside it, and logs where at critical level. Call
    // it once at start-up, before anything writes settings. Stores that are
    // not files (the Windows registry) are left alone.
    static void keepUnreadableFiles(const QDateTime &now);

    // Whether every entry line of the INI file at path is still there, as it
    // is written, after Qt has read the file and written it again: blank
    // lines, ';' comments, the order and blanks around a line or its '=' do
    // not count. A file Qt wrote itself reads cleanly; a hand-edited one
    // spelled differently from Qt (quotes it would not write, '/' in a key,
    // raw UTF-8) does not, which costs one copy: after the next write the
    // file is in Qt's spelling.
    static bool readsCleanly(const QString &path);
};
