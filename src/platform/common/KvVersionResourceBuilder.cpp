#include "platform/common/KvVersionResourceBuilder.h"

#include <QStringList>

namespace {

void append16(QByteArray &bytes, quint16 value)
{
    bytes.append(char(value & 0xFF));
    bytes.append(char(value >> 8));
}

void append32(QByteArray &bytes, quint32 value)
{
    append16(bytes, quint16(value & 0xFFFF));
    append16(bytes, quint16(value >> 16));
}

void padTo4(QByteArray &bytes)
{
    while (bytes.size() % 4)
        bytes.append('\0');
}

void appendUtf16z(QByteArray &bytes, const QString &text)
{
    for (const QChar character : text)
        append16(bytes, character.unicode());
    append16(bytes, 0);
}

// One node; valueLength is in characters for text (type 1), in bytes for
// binary values. Children are concatenated, each starting on 4 bytes.
QByteArray node(const QString &key, quint16 type, const QByteArray &value, quint16 valueLength,
                const QList<QByteArray> &children = {})
{
    QByteArray bytes;
    append16(bytes, 0); // length, filled in below
    append16(bytes, valueLength);
    append16(bytes, type);
    appendUtf16z(bytes, key);
    padTo4(bytes);
    bytes.append(value);
    for (const QByteArray &child : children) {
        padTo4(bytes);
        bytes.append(child);
    }
    bytes[0] = char(bytes.size() & 0xFF);
    bytes[1] = char(bytes.size() >> 8);
    return bytes;
}

QByteArray stringNode(const QString &key, const QString &value)
{
    QByteArray bytes;
    appendUtf16z(bytes, value);
    return node(key, 1, bytes, quint16(value.size() + 1));
}

quint32 high(const quint16 parts[4])
{
    return (quint32(parts[0]) << 16) | parts[1];
}

quint32 low(const quint16 parts[4])
{
    return (quint32(parts[2]) << 16) | parts[3];
}

void setParts(quint16 parts[4], quint16 major, quint16 minor, quint16 build, quint16 revision)
{
    parts[0] = major;
    parts[1] = minor;
    parts[2] = build;
    parts[3] = revision;
}

} // namespace

void KvVersionResourceBuilder::setFileVersion(quint16 major, quint16 minor, quint16 build,
                                              quint16 revision)
{
    setParts(fileVersion, major, minor, build, revision);
}

void KvVersionResourceBuilder::setProductVersion(quint16 major, quint16 minor, quint16 build,
                                                 quint16 revision)
{
    setParts(productVersion, major, minor, build, revision);
}

void KvVersionResourceBuilder::addStringTable(quint16 language, quint16 codePage,
                                              const Strings &strings)
{
    tables.append(Table{language, codePage, strings});
}

void KvVersionResourceBuilder::setTranslations(const QList<QPair<quint16, quint16>> &list)
{
    explicitTranslations = true;
    translations = list;
}

QByteArray KvVersionResourceBuilder::build() const
{
    QByteArray fixed;
    if (fixedInfo) {
        append32(fixed, 0xFEEF04BD); // dwSignature
        append32(fixed, 0x00010000); // dwStrucVersion
        append32(fixed, high(fileVersion));
        append32(fixed, low(fileVersion));
        append32(fixed, high(productVersion));
        append32(fixed, low(productVersion));
        append32(fixed, 0x3F);    // dwFileFlagsMask
        append32(fixed, 0);       // dwFileFlags
        append32(fixed, 0x40004); // dwFileOS: VOS_NT_WINDOWS32
        append32(fixed, 1);       // dwFileType: VFT_APP
        append32(fixed, 0);       // dwFileSubtype
        append32(fixed, 0);       // dwFileDateMS
        append32(fixed, 0);       // dwFileDateLS
    }

    QList<QByteArray> sections;
    if (!tables.isEmpty()) {
        QList<QByteArray> stringTables;
        for (const Table &table : tables) {
            QList<QByteArray> strings;
            for (const auto &entry : table.strings)
                strings.append(stringNode(entry.first, entry.second));
            const QString key = QStringLiteral("%1%2")
                                    .arg(table.language, 4, 16, QLatin1Char('0'))
                                    .arg(table.codePage, 4, 16, QLatin1Char('0'));
            stringTables.append(node(key, 1, QByteArray(), 0, strings));
        }
        sections.append(node(QStringLiteral("StringFileInfo"), 1, QByteArray(), 0, stringTables));
    }

    QList<QPair<quint16, quint16>> listed = translations;
    if (!explicitTranslations) {
        for (const Table &table : tables)
            listed.append(qMakePair(table.language, table.codePage));
    }
    if (!listed.isEmpty()) {
        QByteArray value;
        for (const auto &translation : listed) {
            append16(value, translation.first);
            append16(value, translation.second);
        }
        const QByteArray translationNode =
            node(QStringLiteral("Translation"), 0, value, quint16(value.size()));
        sections.append(node(QStringLiteral("VarFileInfo"), 1, QByteArray(), 0, {translationNode}));
    }

    return node(QStringLiteral("VS_VERSION_INFO"), 0, fixed, quint16(fixed.size()), sections);
}

bool KvVersionResourceBuilder::parseVersion(const QString &text, quint16 parts[4])
{
    const QStringList fields = text.split(QLatin1Char('.'));
    if (fields.isEmpty() || fields.size() > 4)
        return false;
    for (int i = 0; i < 4; ++i) {
        parts[i] = 0;
        if (i >= fields.size())
            continue;
        bool ok = false;
        const uint value = fields.at(i).toUInt(&ok);
        if (!ok || value > 0xFFFF)
            return false;
        parts[i] = quint16(value);
    }
    return true;
}
