#pragma once

#include <QFileInfo>
#include <QMetaType>
#include <QString>
#include <QVersionNumber>

// A QFileInfo that also carries the company name, product name and
// three-part file version from the file's version resource, where whoever
// made it read them (the platform layer's version service does).
class KvFileInfo : public QFileInfo
{
public:
    KvFileInfo() = default;
    explicit KvFileInfo(const QString &path);
    virtual ~KvFileInfo();

    QString companyName() const { return m_companyName; }
    QString productName() const { return m_productName; }
    QVersionNumber version() const { return m_version; }

    void setVersionInfo(const QString &companyName, const QString &productName,
                        const QVersionNumber &version);

private:
    QString m_companyName;
    QString m_productName;
    QVersionNumber m_version;
};

Q_DECLARE_METATYPE(KvFileInfo)
