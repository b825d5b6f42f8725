#include "platform/windows/KvWindowsFiles.h"

#include "platform/windows/KvWindowsError.h"
#include "platform/windows/KvWindowsSettingsWatch.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

KvPlatformFiles *KvPlatformFiles::native()
{
    static KvWindowsFiles backend;
    return &backend;
}

KvStatus KvWindowsFiles::replace(const QString &from, const QString &to)
{
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(from.utf16()),
                     reinterpret_cast<const wchar_t *>(to.utf16()), MOVEFILE_REPLACE_EXISTING))
        return KvWindowsError::last();
    return {};
}

// Windows keeps no FIFOs or devices among the files of a folder, and the
// settings live in the registry: Qt's own file access serves.
KvFileContent KvWindowsFiles::readRegular(const QString &path, qint64 limit)
{
    KvFileContent content;
    const QFileInfo info(path);
    QFile file(path);
    if (!info.exists()) {
        content.kind = KvFileContent::Kind::Missing;
    } else if (!info.isFile()) {
        content.refusal = QStringLiteral("is no regular file");
    } else if (info.size() > limit) {
        content.refusal = QStringLiteral("is larger than %1 bytes").arg(limit);
    } else if (!file.open(QIODevice::ReadOnly)) {
        content.refusal = QStringLiteral("cannot be read: ") + file.errorString();
    } else {
        content.bytes = file.read(limit + 1);
        content.kind = content.bytes.size() == info.size() ? KvFileContent::Kind::Regular
                                                           : KvFileContent::Kind::Unsettled;
    }
    return content;
}

KvStatus KvWindowsFiles::writeRegular(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return KvError{0, QStringLiteral("is no regular file")};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return KvError{0, file.errorString()};
    return {};
}

KvResult<std::unique_ptr<KvPlatformSettingsWatch>>
KvWindowsFiles::watchSettingsKey(const QString &organization, const QString &application)
{
    // Where QSettings keeps a program's settings in the registry.
    return KvWindowsSettingsWatch::open(
        QStringLiteral("Software\\%1\\%2").arg(organization, application));
}
