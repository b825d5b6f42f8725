#pragma once

#include <QFileInfo>
#include <QMetaType>
#include <QString>
#include <QVersionNumber>

class QByteArray;

// A QFileInfo that also carries the company name, product name and
// three-part file version from the file's version resource.
class KvFileInfo : public QFileInfo
{
public:
    KvFileInfo() = default;
    // Sets the file and reads its version resource at once.
    explicit KvFileInfo(const QString &path);
    virtual ~KvFileInfo();

    // Reads the version resource of the current path. Whatever cannot be read
    // keeps its earlier value; call it again after every change of the file.
    void readVersionInfo();

    QString companyName() const { return m_companyName; }
    QString productName() const { return m_productName; }
    QVersionNumber version() const { return m_version; }

    // The string name of one translation (language, code page) of a version
    // block, or an empty string. The sub-block path carries the language and
    // code page as four lower-case hexadecimal digits each.
    static QString queryVersionString(const QByteArray &block, quint32 translation,
                                      const QString &name);
    static QString versionStringPath(quint32 translation, const QString &name);

private:
    QString m_companyName;
    QString m_productName;
    QVersionNumber m_version;
};

Q_DECLARE_METATYPE(KvFileInfo)
