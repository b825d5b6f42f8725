#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Writes a VS_VERSIONINFO block: the fixed file information, string tables
// per translation and the translation list. The build uses it to make our
// own version resource; tests use it to make the resources they read.
class KvVersionResourceBuilder
{
public:
    using Strings = QList<QPair<QString, QString>>;

    // Four parts, as in 1.0.148.0.
    void setFileVersion(quint16 major, quint16 minor, quint16 build, quint16 revision);
    void setProductVersion(quint16 major, quint16 minor, quint16 build, quint16 revision);
    // Leaves the fixed file information out ("\" then has no value).
    void omitFixedInfo() { fixedInfo = false; }

    // A string table for language and code page, e.g. 0x0409 and 0x04B0.
    void addStringTable(quint16 language, quint16 codePage, const Strings &strings);
    // The "\VarFileInfo\Translation" entries in order. Without this call the
    // string tables' translations are listed; with an empty list there is no
    // VarFileInfo at all.
    void setTranslations(const QList<QPair<quint16, quint16>> &translations);

    QByteArray build() const;

    // Parses "1.0.148.0"; missing parts are 0. False if a part is no number
    // from 0 to 65535.
    static bool parseVersion(const QString &text, quint16 parts[4]);

private:
    struct Table
    {
        quint16 language;
        quint16 codePage;
        Strings strings;
    };

    bool fixedInfo = true;
    quint16 fileVersion[4] = {0, 0, 0, 0};
    quint16 productVersion[4] = {0, 0, 0, 0};
    QList<Table> tables;
    bool explicitTranslations = false;
    QList<QPair<quint16, quint16>> translations;
};
