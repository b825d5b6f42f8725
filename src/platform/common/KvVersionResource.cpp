#include "platform/common/KvVersionResource.h"

#include "support/KvFileInfo.h"

#include <QStringList>
#include <QtEndian>

namespace {

quint16 read16(const QByteArray &bytes, int offset)
{
    return quint16(uchar(bytes[offset]) | (uchar(bytes[offset + 1]) << 8));
}

int alignTo4(int offset)
{
    return (offset + 3) & ~3;
}

struct Node
{
    int end = 0;
    int valueStart = 0;
    int valueSize = 0;
    int childrenStart = 0;
    QString key;
};

// Parses the node at start, which must end no later than limit.
bool parseNode(const QByteArray &block, int start, int limit, Node &node)
{
    if (start < 0 || limit > block.size() || start + 6 > limit)
        return false;
    const int length = read16(block, start);
    if (length < 6 || length > limit - start)
        return false;
    node.end = start + length;
    const int valueLength = read16(block, start + 2);
    const int type = read16(block, start + 4);

    int position = start + 6;
    node.key.clear();
    for (;;) {
        if (position + 2 > node.end)
            return false; // key without its terminating zero
        const quint16 character = read16(block, position);
        position += 2;
        if (character == 0)
            break;
        node.key += QChar(character);
    }

    // Text values count characters, binary ones bytes. Some resource
    // compilers count bytes for text too: the node's end bounds either way.
    const int declared = type == 1 ? valueLength * 2 : valueLength;
    node.valueStart = qMin(alignTo4(position), node.end);
    node.valueSize = qMin(declared, node.end - node.valueStart);
    node.childrenStart = qMin(alignTo4(node.valueStart + node.valueSize), node.end);
    return true;
}

} // namespace

bool KvVersionResource::queryValue(const QByteArray &block, const QString &subBlock,
                                   QByteArray &value)
{
    Node node;
    if (!parseNode(block, 0, block.size(), node))
        return false;
    const QStringList path = subBlock.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    for (const QString &key : path) {
        bool found = false;
        int position = node.childrenStart;
        while (position < node.end) {
            Node child;
            if (!parseNode(block, position, node.end, child))
                break;
            if (child.key.compare(key, Qt::CaseInsensitive) == 0) {
                node = child;
                found = true;
                break;
            }
            position = alignTo4(child.end);
        }
        if (!found)
            return false;
    }
    value = block.mid(node.valueStart, node.valueSize);
    return true;
}

int KvVersionResource::rootLength(const QByteArray &bytes)
{
    Node root;
    if (!parseNode(bytes, 0, bytes.size(), root) || root.key != QLatin1String("VS_VERSION_INFO"))
        return 0;
    return root.end;
}

QString KvVersionResource::stringValue(const QByteArray &value)
{
    QString text;
    for (int offset = 0; offset + 1 < value.size(); offset += 2) {
        const quint16 character = read16(value, offset);
        if (character == 0)
            break;
        text += QChar(character);
    }
    return text;
}

void KvVersionResource::describe(const Query &query, KvFileInfo &info)
{
    // VS_FIXEDFILEINFO: dwSignature, dwStrucVersion, dwFileVersionMS,
    // dwFileVersionLS, ... 13 DWORDs in all.
    const int fixedFileInfoSize = 13 * 4;
    QVersionNumber version;
    QByteArray fixed;
    if (query(QStringLiteral("\\"), fixed) && fixed.size() >= fixedFileInfoSize) {
        const quint32 versionMs = qFromLittleEndian<quint32>(fixed.constData() + 8);
        const quint32 versionLs = qFromLittleEndian<quint32>(fixed.constData() + 12);
        version =
            QVersionNumber(int(versionMs >> 16), int(versionMs & 0xFFFF), int(versionLs >> 16));
    }
    QString company;
    QString product;
    QByteArray translations;
    if (query(QStringLiteral("\\VarFileInfo\\Translation"), translations)) {
        const auto text = [&query](quint32 translation, const char *name) {
            // The translation is a language word followed by a code page word.
            const QString path = QStringLiteral("\\StringFileInfo\\%1%2\\%3")
                                     .arg(translation & 0xFFFF, 4, 16, QLatin1Char('0'))
                                     .arg(translation >> 16, 4, 16, QLatin1Char('0'))
                                     .arg(QLatin1String(name));
            QByteArray value;
            return query(path, value) ? stringValue(value) : QString();
        };
        for (int offset = 0; offset + 4 <= translations.size(); offset += 4) {
            const quint32 translation =
                qFromLittleEndian<quint32>(translations.constData() + offset);
            company = text(translation, "CompanyName");
            product = text(translation, "ProductName");
            if (!company.isEmpty() && !product.isEmpty())
                break;
        }
    }
    info.setVersionInfo(company, product, version);
}
