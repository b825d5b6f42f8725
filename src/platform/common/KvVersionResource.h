#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class KvFileInfo;

// Windows' VS_VERSIONINFO block, read the way VerQueryValueW reads it: a
// tree of nodes (length, value length, type, UTF-16 key, value, children),
// each aligned to 4 bytes from the start of the block.
//
// Nothing here trusts the block: every length is checked against the bytes
// that are really there, and a malformed block gives no value.
class KvVersionResource
{
public:
    // VerQueryValueW: the value bytes of the node that subBlock names.
    // "\" is the root (a VS_FIXEDFILEINFO), "\VarFileInfo\Translation" the
    // translation array, "\StringFileInfo\040904b0\CompanyName" a string
    // (UTF-16, with its terminating zero where the block has one). Keys
    // compare without regard to case.
    static bool queryValue(const QByteArray &block, const QString &subBlock, QByteArray &value);

    // The length of the VS_VERSIONINFO at the start of bytes (its root node's
    // length), or 0 if bytes do not start with one.
    static int rootLength(const QByteArray &bytes);

    // Asks a block for the value that subBlock names, as queryValue does.
    using Query = std::function<bool(const QString &subBlock, QByteArray &value)>;

    // Sets info's company name, product name and version from a block that
    // query reads: the first translation that names both company and product
    // wins. Values the block lacks stay empty.
    static void describe(const Query &query, KvFileInfo &info);

    // A UTF-16LE value read up to its first zero or its end.
    static QString stringValue(const QByteArray &value);
};
