#include "support/KvFileInfo.h"

#include "platform/KvPlatformVersion.h"
#include "platform/common/KvVersionResource.h"
#include "support/KvString.h"

#include <QtEndian>

namespace {

// VS_FIXEDFILEINFO: dwSignature, dwStrucVersion, dwFileVersionMS,
// dwFileVersionLS, ... 13 DWORDs in all.
const int fixedFileInfoSize = 13 * 4;

} // namespace

KvFileInfo::KvFileInfo(const QString &path)
    : QFileInfo(path)
{
    readVersionInfo();
}

KvFileInfo::~KvFileInfo() = default;

void KvFileInfo::readVersionInfo()
{
    pendingVersionPath = filePath();
}

QString KvFileInfo::companyName() const
{
    readPendingVersionInfo();
    return m_companyName;
}

QString KvFileInfo::productName() const
{
    readPendingVersionInfo();
    return m_productName;
}

QVersionNumber KvFileInfo::version() const
{
    readPendingVersionInfo();
    return m_version;
}

void KvFileInfo::readPendingVersionInfo() const
{
    if (pendingVersionPath.isEmpty())
        return;
    KvString path(pendingVersionPath);
    pendingVersionPath.clear();
    KvPlatformVersion &platform = KvPlatformVersion::current();
    const DWORD size = platform.getFileVersionInfoSize(path);
    if (size == 0)
        return;
    QByteArray block;
    if (!platform.getFileVersionInfo(path, size, block))
        return;

    QByteArray fixed;
    if (platform.verQueryValue(block, QStringLiteral("\\"), fixed) &&
        fixed.size() >= fixedFileInfoSize) {
        const quint32 versionMs = qFromLittleEndian<quint32>(fixed.constData() + 8);
        const quint32 versionLs = qFromLittleEndian<quint32>(fixed.constData() + 12);
        m_version =
            QVersionNumber(int(versionMs >> 16), int(versionMs & 0xFFFF), int(versionLs >> 16));
    }

    QByteArray translations;
    if (!platform.verQueryValue(block, QStringLiteral("\\VarFileInfo\\Translation"), translations))
        return;
    for (int offset = 0; offset + 4 <= translations.size(); offset += 4) {
        const quint32 translation = qFromLittleEndian<quint32>(translations.constData() + offset);
        m_companyName = queryVersionString(block, translation, QStringLiteral("CompanyName"));
        m_productName = queryVersionString(block, translation, QStringLiteral("ProductName"));
        if (!m_companyName.isEmpty() && !m_productName.isEmpty())
            break;
    }
}

QString KvFileInfo::versionStringPath(quint32 translation, const QString &name)
{
    // The translation is a language word followed by a code page word.
    const quint16 language = quint16(translation & 0xFFFF);
    const quint16 codePage = quint16(translation >> 16);
    return QStringLiteral("\\StringFileInfo\\%1%2\\%3")
        .arg(language, 4, 16, QLatin1Char('0'))
        .arg(codePage, 4, 16, QLatin1Char('0'))
        .arg(name);
}

QString KvFileInfo::queryVersionString(const QByteArray &block, quint32 translation,
                                       const QString &name)
{
    QByteArray value;
    if (!KvPlatformVersion::current().verQueryValue(block, versionStringPath(translation, name),
                                                    value))
        return QString();
    return KvVersionResource::stringValue(value);
}
