#include "support/KvFileInfo.h"

KvFileInfo::KvFileInfo(const QString &path)
    : QFileInfo(path)
{}

KvFileInfo::~KvFileInfo() = default;

void KvFileInfo::setVersionInfo(const QString &companyName, const QString &productName,
                                const QVersionNumber &version)
{
    m_companyName = companyName;
    m_productName = productName;
    m_version = version;
}
