#pragma once

#include <QFileInfo>
#include <QMetaType>
#include <QString>
#include <QVersionNumber>

class QByteArray;

// A QFileInfo that also carries the company name, product name and
// three-part file version from the file's version resource.
//
// The resource is read when one of its values is first asked for, not
// before: records of other processes are made by the thousand and almost
// never asked.
class KvFileInfo : public QFileInfo
{
public:
    KvFileInfo() = default;
    // Sets the file and has its version resource read.
    explicit KvFileInfo(const QString &path);
    virtual ~KvFileInfo();

    // Has the version resource of the current path read, at the first
    // question for one of its values; a later call before that replaces the
    // path. Whatever cannot be read keeps the value of the last read; call
    // it again after every change of the file.
    void readVersionInfo();

    QString companyName() const;
    QString productName() const;
    QVersionNumber version() const;

    // The string name of one translation (language, code page) of a version
    // block, or an empty string. The sub-block path carries the language and
    // code page as four lower-case hexadecimal digits each.
    static QString queryVersionString(const QByteArray &block, quint32 translation,
                                      const QString &name);
    static QString versionStringPath(quint32 translation, const QString &name);

private:
    // Does the read that readVersionInfo asked for, if it is still to do.
    void readPendingVersionInfo() const;

    // Where the resource is still to be read from; empty when nothing is.
    mutable QString pendingVersionPath;
    mutable QString m_companyName;
    mutable QString m_productName;
    mutable QVersionNumber m_version;
};

Q_DECLARE_METATYPE(KvFileInfo)
