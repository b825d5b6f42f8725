#include "rules/KvSettingsFile.h"

#include "platform/KvPlatformFiles.h"
#include "platform/KvPlatformProcesses.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

const QString workingPrefix = QStringLiteral("settings-");

#ifndef Q_OS_WIN
// The folder of the user's settings files of this organisation. Qt tells
// where a file of a handle's chain lies only through a handle, and each
// handle reads the files of its chain as it is made: one of a format of this
// run's own names the place without any file of it existing.
QString organizationFolder()
{
    static const QSettings::Format probe = QSettings::registerFormat(
        QUuid::createUuid().toString(QUuid::Id128),
        [](QIODevice &, QSettings::SettingsMap &) { return false; },
        [](QIODevice &, const QSettings::SettingsMap &) { return false; });
    return QFileInfo(QSettings(probe, QSettings::UserScope, QCoreApplication::organizationName(),
                               QCoreApplication::applicationName())
                         .fileName())
        .absolutePath();
}
#endif

// What a handle of Qt's does with text, on a copy in a folder of its own.
template<class Result>
Result onCopy(const QByteArray &text, const std::function<Result(QSettings &)> &use)
{
    const QTemporaryDir directory;
    QFile copy(directory.filePath(QStringLiteral("copy.conf")));
    if (!directory.isValid() || !copy.open(QIODevice::WriteOnly) || copy.write(text) != text.size())
        return Result();
    copy.close();
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    return use(settings);
}

// The entry lines of an INI text, each as "<section>\n<line>", sorted. Keys
// before the first section and those under "[General]" are one section to Qt.
std::vector<QByteArray> entries(const QByteArray &text)
{
    std::vector<QByteArray> found;
    QByteArray section;
    for (QByteArray line : text.split('\n')) {
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(';'))
            continue;
        if (line.startsWith('[') && line.endsWith(']')) {
            section = line.mid(1, line.size() - 2).trimmed();
            if (section.toLower() == "general")
                section.clear();
            continue;
        }
        const int equals = line.indexOf('=');
        if (equals >= 0)
            line = line.left(equals).trimmed() + '=' + line.mid(equals + 1).trimmed();
        found.push_back(section + '\n' + line);
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool isControl(uchar c)
{
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f;
}

} // namespace

KvSettingsFile &KvSettingsFile::instance()
{
    static KvSettingsFile file;
    return file;
}

KvSettingsFile::KvSettingsFile()
{
#ifndef Q_OS_WIN
    userFile = organizationFolder() + QLatin1Char('/') + QCoreApplication::applicationName() +
               QStringLiteral(".conf");
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
    QDir().mkpath(folder);
    // Named by the run, as its journal is: copies of other PID namespaces
    // sharing the folder keep theirs, and the copy a killed run left goes.
    KvPlatformProcesses &processes = KvPlatformProcesses::current();
    working =
        folder + QLatin1Char('/') + workingPrefix + processes.runId() + QStringLiteral(".conf");
    for (const QString &name : QDir(folder).entryList({workingPrefix + '*'}, QDir::Files)) {
        if (processes.hasEnded(QFileInfo(name).completeBaseName().mid(workingPrefix.size())))
            QFile::remove(folder + QLatin1Char('/') + name);
    }
#endif
}

KvSettingsFile::~KvSettingsFile()
{
    if (!working.isEmpty())
        QFile::remove(working);
}

QString KvSettingsFile::organizationPath() const
{
    return userFile.isEmpty() ? QString() : QFileInfo(userFile).absolutePath() + ".conf";
}

QString KvSettingsFile::workingCopy()
{
    takeIn();
    return working;
}

bool KvSettingsFile::takeIn(bool settled)
{
    // Every handle reads the registry itself: whoever looks finds what was
    // written there meanwhile.
    if (userFile.isEmpty()) {
        ++changes;
        return true;
    }
    const KvFileContent read = KvPlatformFiles::current().readRegular(userFile, sizeLimit);
    writable = read.kind != KvFileContent::Kind::Refused;
    switch (read.kind) {
    case KvFileContent::Kind::Unsettled:
        return false;
    case KvFileContent::Kind::Refused:
        note(read.refusal + QStringLiteral("; the rules stay as last read, and it is not written"),
             true);
        return true;
    case KvFileContent::Kind::Missing:
        // Before the first rule there is no file, and nothing to say.
        if (!seen)
            return true;
        note(QStringLiteral("was deleted; the rules stay as last read until it is made again or "
                            "a rule is changed in the window"),
             false);
        return true;
    case KvFileContent::Kind::Regular:
        break;
    }
    seen = true;
    // Said and kept already; or nothing new. A file that is back after a
    // refusal is taken in again whatever it holds: the rules follow it.
    if ((read.bytes == damaged && !damaged.isEmpty()) ||
        (read.bytes == lastRead && problem.isEmpty()))
        return true;
    QString why;
    if (!parses(read.bytes, why)) {
        if (!settled)
            return false;
        lastRead = damaged = read.bytes;
        const QString backup = keep(read.bytes);
        note(QStringLiteral("does not parse (%1); the rules stay as last read, %2")
                 .arg(why, backup.isEmpty()
                               ? QStringLiteral("and no copy of it could be kept")
                               : QStringLiteral("and it is kept as \"%1\"").arg(backup)),
             true);
        return true;
    }
    lastRead = read.bytes;
    damaged.clear();
    writeWorkingCopy(read.bytes);
    note(QString(), false);
    return true;
}

void KvSettingsFile::writeWorkingCopy(const QByteArray &bytes)
{
    // Handles read the copy again when its size or its time, to the
    // millisecond, changed: the time moves on whatever the size.
    const QDateTime before = QFileInfo(working).lastModified();
    QSaveFile copy(working);
    if (copy.open(QIODevice::WriteOnly) && copy.write(bytes) == bytes.size()) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        copy.setFileTime(before.isValid() ? std::max(now, before.addMSecs(1)) : now,
                         QFileDevice::FileModificationTime);
        copy.commit();
    }
    // Every handle on the copy sees it from now on.
    QSettings(working, QSettings::IniFormat).sync();
    ++changes;
}

void KvSettingsFile::publish(QSettings &handle)
{
    takeIn();
    handle.sync();
    if (userFile.isEmpty() || !writable)
        return;
    QFile copy(working);
    if (!copy.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = copy.readAll();
    if (bytes == lastRead)
        return;
    const QString file = QDir::toNativeSeparators(userFile);
    if (!lastRead.isEmpty() && lastRead != damaged && lastRead != kept && !readsCleanly(lastRead)) {
        kept = lastRead;
        const QString backup = keep(lastRead);
        kvCritical(lcCorvane) << "settings file \"" << file
                              << (backup.isEmpty()
                                      ? QStringLiteral("\" did not read cleanly, and no copy could "
                                                       "be kept")
                                      : "\" did not read cleanly; the original is kept as \"" +
                                            backup + '"');
    }
    const KvStatus written = KvPlatformFiles::current().writeRegular(userFile, bytes);
    if (!written) {
        note(QStringLiteral("is not written (%1); the changes hold until the program ends")
                 .arg(written.error().message),
             true);
        return;
    }
    lastRead = bytes;
    damaged.clear();
    seen = true;
    ++changes;
    note(QString(), false);
}

QString KvSettingsFile::keep(const QByteArray &bytes)
{
    const QString stem =
        userFile + QLatin1Char('.') +
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-ddThh-mm-ss"));
    QString backup = stem + QStringLiteral(".bak");
    for (int number = 2; QFileInfo(backup).exists() || QFileInfo(backup).isSymLink(); ++number)
        backup = stem + QStringLiteral("-%1.bak").arg(number);
    return KvPlatformFiles::current().writeRegular(backup, bytes) ? QDir::toNativeSeparators(backup)
                                                                  : QString();
}

void KvSettingsFile::note(const QString &now, bool critical)
{
    if (now == problem)
        return;
    const QString file = QDir::toNativeSeparators(userFile);
    if (now.isEmpty())
        kvInfo(lcCorvane) << "settings file \"" << file << "\" is followed again";
    else if (critical)
        kvCritical(lcCorvane) << "settings file \"" << file << "\" " << now;
    else
        kvInfo(lcCorvane) << "settings file \"" << file << "\" " << now;
    problem = now;
}

bool KvSettingsFile::parses(const QByteArray &text, QString &why)
{
    int line = 1;
    for (const char c : text) {
        if (isControl(uchar(c))) {
            why = QStringLiteral("line %1 holds a control character: binary data").arg(line);
            return false;
        }
        line += c == '\n';
    }
    // Lines as Qt's reader cuts them: a line ends at its end outside quotes,
    // or at a ';' outside quotes, which starts a comment; a '\' takes the
    // character after it as it is.
    const int size = text.size();
    int at = text.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    line = 1;
    while (at < size) {
        while (at < size && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r'))
            ++at;
        if (at == size)
            break;
        const char first = text[at];
        if (first == '\n') {
            ++line;
            ++at;
            continue;
        }
        int equals = -1, end = -1;
        bool quoted = false;
        const int start = at, startLine = line;
        if (first == ';' || first == '#')
            end = start;
        for (; at < size && text[at] != '\n' && !(text[at] == '\r' && !quoted); ++at) {
            const char c = text[at];
            if (end >= 0)
                continue;
            if (c == '\\' && at + 1 < size)
                line += text[++at] == '\n';
            else if (c == '"')
                quoted = !quoted;
            else if (c == '=' && !quoted && equals < 0)
                equals = at;
            else if (c == ';' && !quoted)
                end = at;
        }
        if (quoted) {
            why = QStringLiteral("line %1 leaves a quote open").arg(startLine);
            return false;
        }
        const QByteArray content = text.mid(start, (end >= 0 ? end : at) - start);
        if (first == '[' ? !content.contains(']')
                         : first != ';' && first != '#' && equals <= start) {
            why = QStringLiteral("line %1 is neither blank, a comment, a [section] nor key=value")
                      .arg(startLine);
            return false;
        }
        if (at < size && text[at] == '\n')
            ++line;
        ++at;
    }
    return true;
}

bool KvSettingsFile::readsCleanly(const QByteArray &text)
{
    const QByteArray rewritten = onCopy<QByteArray>(text, [](QSettings &settings) {
        // A change makes Qt write the whole file, from what it read.
        settings.setValue(QStringLiteral("corvane-settings-check"), true);
        settings.sync();
        QFile file(settings.fileName());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    });
    const std::vector<QByteArray> before = entries(text);
    const std::vector<QByteArray> after = entries(rewritten);
    return std::includes(after.begin(), after.end(), before.begin(), before.end());
}

QVariant KvSettingsFile::valueIn(const QString &path, const QString &key)
{
    const KvFileContent read = KvPlatformFiles::current().readRegular(path, sizeLimit);
    QString why;
    if (read.kind != KvFileContent::Kind::Regular || !parses(read.bytes, why))
        return QVariant();
    return onCopy<QVariant>(read.bytes,
                            [&key](QSettings &settings) { return settings.value(key); });
}
