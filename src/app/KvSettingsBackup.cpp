#include "app/KvSettingsBackup.h"

#include "support/KvMessageLogger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <vector>

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

} // namespace

bool KvSettingsBackup::readsCleanly(const QString &path)
{
    const QByteArray original = readAll(path);
    const QTemporaryDir directory;
    const QString copy = directory.filePath(QStringLiteral("copy.ini"));
    if (!directory.isValid() || !QFile::copy(path, copy))
        return false;
    {
        // A change makes Qt write the whole file, from what it read.
        QSettings rewritten(copy, QSettings::IniFormat);
        rewritten.setValue(QStringLiteral("corvane-settings-check"), true);
    }
    const std::vector<QByteArray> before = entries(original);
    const std::vector<QByteArray> after = entries(readAll(copy));
    return std::includes(after.begin(), after.end(), before.begin(), before.end());
}

void KvSettingsBackup::keepUnreadableFiles(const QDateTime &now)
{
#ifdef Q_OS_WIN
    // Settings in the registry, Windows' default, are no file to keep: their
    // names (\HKEY_CURRENT_USER\...) would be taken for paths on the current
    // drive.
    if (QSettings().format() != QSettings::IniFormat)
        return;
#endif
    const QString organization = QCoreApplication::organizationName();
    const QString paths[] = {
        QSettings(QSettings::UserScope, organization, QCoreApplication::applicationName())
            .fileName(),
        QSettings(QSettings::UserScope, organization, QString()).fileName(),
        QSettings(QSettings::SystemScope, organization, QString()).fileName(),
    };
    for (const QString &path : paths) {
        if (!QFileInfo(path).isFile() || readsCleanly(path))
            continue;
        const QString backup = path + QLatin1Char('.') +
                               now.toUTC().toString(QStringLiteral("yyyy-MM-ddThh-mm-ss")) +
                               QStringLiteral(".bak");
        const bool kept = QFile::copy(path, backup);
        KvMessageLogger(nullptr, 0, nullptr).critical()
            << "settings file \"" << QDir::toNativeSeparators(path)
            << (kept ? "\" did not read cleanly; the original is kept as \""
                     : "\" did not read cleanly, and no copy could be kept as \"")
            << QDir::toNativeSeparators(backup) << "\"";
    }
}
