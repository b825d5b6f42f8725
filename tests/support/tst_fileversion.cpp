// Version resources: the block's tree, and finding it in PE and ELF files.

#include "platform/KvPlatformVersion.h"
#include "platform/common/KvExecutableVersionReader.h"
#include "platform/common/KvVersionResource.h"
#include "platform/common/KvVersionResourceBuilder.h"
#include "support/KvFileInfo.h"

#include <QtTest>

// Minimal but well-formed executable files around a version block.
namespace Images {

struct Writer
{
    void put(int offset, const QByteArray &data)
    {
        bytes = bytes.leftJustified(offset + data.size(), '\0');
        bytes.replace(offset, data.size(), data);
    }
    void put(int offset, quint64 value, int width)
    {
        QByteArray data(width, '\0');
        for (int i = 0; i < width; ++i)
            data[big ? width - 1 - i : i] = char(value >> 8 * i);
        put(offset, data);
    }

    bool big = false;
    QByteArray bytes;
};

// A PE32+ file with one ".rsrc" section whose resource tree holds RT_VERSION / resourceId / 0x0409.
QByteArray pe(const QByteArray &versionBlock, quint32 resourceId = 1)
{
    const int peOffset = 0x40;
    const int optionalOffset = peOffset + 24;
    const int optionalSize = 0xF0;
    const int sectionTable = optionalOffset + optionalSize;
    const int rawOffset = 0x200;
    const quint32 sectionRva = 0x1000;
    const int dataOffset = 0x58;
    const int sectionSize = dataOffset + versionBlock.size();

    Writer file{false, QByteArray(rawOffset, '\0')};
    file.put(0, "MZ");
    file.put(0x3C, peOffset, 4);
    file.put(peOffset, QByteArray("PE\0\0", 4));
    file.put(peOffset + 4, 0x8664, 2); // Machine
    file.put(peOffset + 6, 1, 2);      // NumberOfSections
    file.put(peOffset + 20, optionalSize, 2);
    file.put(optionalOffset, 0x20B, 2);                    // PE32+
    file.put(optionalOffset + 108, 16, 4);                 // NumberOfRvaAndSizes
    file.put(optionalOffset + 112 + 2 * 8, sectionRva, 4); // resource directory
    file.put(optionalOffset + 112 + 2 * 8 + 4, quint32(sectionSize), 4);
    file.put(sectionTable, ".rsrc");
    file.put(sectionTable + 8, quint32(sectionSize), 4);  // VirtualSize
    file.put(sectionTable + 12, sectionRva, 4);           // VirtualAddress
    file.put(sectionTable + 16, quint32(sectionSize), 4); // SizeOfRawData
    file.put(sectionTable + 20, rawOffset, 4);            // PointerToRawData

    // Resource tree: type 16 -> resourceId -> language 0x0409 -> data.
    auto directory = [&](int at, quint32 id, quint32 target) {
        file.put(rawOffset + at + 14, 1, 2); // one id entry
        file.put(rawOffset + at + 16, id, 4);
        file.put(rawOffset + at + 20, target, 4);
    };
    directory(0x00, 16, 0x80000000u | 0x18);
    directory(0x18, resourceId, 0x80000000u | 0x30);
    directory(0x30, 0x0409, 0x48);
    file.put(rawOffset + 0x48, sectionRva + dataOffset, 4);
    file.put(rawOffset + 0x4C, quint32(versionBlock.size()), 4);
    file.put(rawOffset + dataOffset, versionBlock);
    return file.bytes;
}

// An ELF file with the version section between two other sections.
QByteArray elf(const QByteArray &versionBlock, bool is64Bit, bool bigEndian,
               const QByteArray &sectionName = ".kvversion")
{
    const int word = is64Bit ? 8 : 4; // an address or an offset
    const int headerSize = is64Bit ? 64 : 52;
    const int entrySize = is64Bit ? 64 : 40;
    const QByteArray text("\x90\x90\x90\xC3", 4);
    const QByteArray names =
        QByteArray(1, '\0') + ".text" + '\0' + sectionName + '\0' + ".shstrtab" + '\0';
    const int textOffset = headerSize;
    const int versionOffset = (textOffset + text.size() + 3) & ~3;
    const int namesOffset = versionOffset + versionBlock.size();
    const int tableOffset = (namesOffset + names.size() + 7) & ~7;
    const int count = 4;

    Writer file{bigEndian, {}};
    // "\x7FELF", class, data (byte order), version; ET_EXEC.
    file.put(0, QByteArray::fromHex("7F454C46") + char(word / 4) + char(bigEndian ? 2 : 1) + '\1');
    file.put(16, 2, 2);
    const int sizes = 0x1C + 3 * word; // e_ehsize, then the program and section header sizes
    file.put(0x18 + 2 * word, quint64(tableOffset), word); // e_shoff
    file.put(sizes, headerSize, 2);
    file.put(sizes + 6, entrySize, 2);
    file.put(sizes + 8, count, 2);
    file.put(sizes + 10, 3, 2); // e_shstrndx
    file.put(textOffset, text);
    file.put(versionOffset, versionBlock);
    file.put(namesOffset, names);

    auto section = [&](int index, int nameOffset, int type, int offset, int size) {
        const int at = tableOffset + index * entrySize;
        file.put(at, quint32(nameOffset), 4);
        file.put(at + 4, quint32(type), 4);
        file.put(at + 8 + 2 * word, quint64(offset), word);
        file.put(at + 8 + 3 * word, quint64(size), word);
    };
    file.put(tableOffset + count * entrySize - 1, 0, 1);
    section(1, 1, 1, textOffset, text.size());
    section(2, 7, 1, versionOffset, versionBlock.size());
    section(3, 8 + sectionName.size(), 3, namesOffset, names.size());
    return file.bytes;
}

} // namespace Images

// A block with a string table for each of the given languages (code page 0x04B0).
QByteArray resource(const QList<QPair<quint16, KvVersionResourceBuilder::Strings>> &tables,
                    quint16 major = 2, quint16 minor = 5, quint16 build = 7)
{
    KvVersionResourceBuilder builder;
    builder.setFileVersion(major, minor, build, 300);
    for (const auto &table : tables)
        builder.addStringTable(table.first, 0x04B0, table.second);
    return builder.build();
}

const QByteArray standard =
    resource({{0x0409, {{"CompanyName", "Contoso"}, {"ProductName", "Game"}}}});

QByteArray readFromBytes(QByteArray bytes)
{
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::ReadOnly) ? KvExecutableVersionReader::read(buffer) : "";
}

QString queryString(const QByteArray &block, const QString &path)
{
    QByteArray value;
    const bool found = KvVersionResource::queryValue(block, path, value);
    return found ? KvVersionResource::stringValue(value) : QStringLiteral("<none>");
}

// What the native backend reads from a file of these bytes: "company|product|version".
QString describeFile(const QByteArray &bytes)
{
    QTemporaryFile file;
    file.open();
    file.write(bytes);
    file.flush();
    const KvFileInfo info = KvPlatformVersion::current().fileInfo(file.fileName());
    return info.companyName() + '|' + info.productName() + '|' + info.version().toString();
}

class TestFileVersion : public QObject
{
    Q_OBJECT

private slots:
    void queriesFollowTheBlocksTree()
    {
        QByteArray value;
        QVERIFY(KvVersionResource::queryValue(standard, QStringLiteral("\\"), value));
        QCOMPARE(value.size(), 52);
        QCOMPARE(value.left(4), QByteArray("\xBD\x04\xEF\xFE", 4)); // VS_FIXEDFILEINFO signature
        QVERIFY(KvVersionResource::queryValue(standard, "\\VarFileInfo\\Translation", value));
        QCOMPARE(value, QByteArray("\x09\x04\xB0\x04", 4));
        QCOMPARE(queryString(standard, "\\StringFileInfo\\040904b0\\CompanyName"), "Contoso");
        // Keys compare without regard to case, as VerQueryValueW does.
        QCOMPARE(queryString(standard, "\\stringfileinfo\\040904B0\\PRODUCTNAME"), "Game");
        // A key is matched whole, never by prefix.
        QCOMPARE(queryString(standard, "\\StringFileInfo\\040904b0\\Company"), "<none>");
    }
    void malformedBlocksGiveNoValue()
    {
        QByteArray value;
        // A root cut short anywhere, too long, too short, or with an endless key.
        QByteArray longer = standard;
        longer[1] = char(0x7F);
        QByteArray unterminated = QByteArray::fromHex("2e000000") + QByteArray(42, 'A');
        QList<QByteArray> broken{longer, unterminated, QByteArray::fromHex("04000000")};
        for (int size = 0; size < standard.size(); ++size)
            broken << standard.left(size);
        for (const QByteArray &block : broken) {
            QVERIFY2(!KvVersionResource::queryValue(block, "\\", value), block.toHex().constData());
            QCOMPARE(KvVersionResource::rootLength(block), 0);
        }

        // The string table in StringFileInfo (the root's first child, after header, key,
        // padding and fixed information) runs past its parent into the next one, or is empty.
        const int parent = 6 + 16 * 2 + 52 + 2;
        const int table = parent + 6 + 15 * 2;
        QCOMPARE(standard.mid(table + 6, 2), QByteArray("0\0", 2));
        const int fits =
            (uchar(standard[parent]) | uchar(standard[parent + 1]) << 8) - (table - parent);
        for (const int length : {fits + 4, 0}) {
            QByteArray block = standard;
            block.replace(table, 2, QByteArray(1, char(length)) + char(length >> 8));
            QVERIFY(!KvVersionResource::queryValue(block, "\\StringFileInfo\\040904b0\\CompanyName",
                                                   value));
        }
    }
    void peAndElfFilesYieldTheBlockAndNeverGarbage_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("PE, resource 1") << Images::pe(standard);
        QTest::newRow("PE, other resource id") << Images::pe(standard, 7);
        QTest::newRow("ELF64 little-endian") << Images::elf(standard, true, false);
        QTest::newRow("ELF32 big-endian") << Images::elf(standard, false, true);
    }
    void peAndElfFilesYieldTheBlockAndNeverGarbage()
    {
        QFETCH(QByteArray, file);
        QCOMPARE(readFromBytes(file), standard);
#ifdef Q_OS_WIN
        // Windows' own reader takes the resource of id 1 of a PE file alone.
        const bool native = QTest::currentDataTag() == QByteArray("PE, resource 1");
#else
        const bool native = true;
#endif
        QCOMPARE(describeFile(file), native ? "Contoso|Game|2.5.7" : "||");
        for (int size = 0; size < file.size(); ++size) {
            const QByteArray result = readFromBytes(file.left(size));
            QVERIFY2(result.isEmpty() || result == standard, qPrintable(QString::number(size)));
        }
        // Whatever comes back from corrupted bytes is a well-formed block.
        QRandomGenerator random(2026);
        for (int round = 0; round < 3000; ++round) {
            QByteArray corrupt = file;
            for (int flips = 1 + int(random.bounded(4)); flips > 0; --flips)
                corrupt[int(random.bounded(corrupt.size()))] = char(random.bounded(256));
            const QByteArray result = readFromBytes(corrupt);
            QVERIFY(result.isEmpty() || KvVersionResource::rootLength(result) == result.size());
        }
    }
    void filesWithoutAResourceGiveNothing()
    {
        QCOMPARE(readFromBytes(Images::elf(standard, true, false, ".rodata")), QByteArray());
        QCOMPARE(readFromBytes(Images::elf(QByteArray(64, 'x'), true, false)), QByteArray());
        QCOMPARE(readFromBytes("#!/bin/sh\necho hello\n"), QByteArray());
        // A PE section whose raw data ends before its resource does (pe() puts
        // the section table at 0x40 + 24 + 0xF0).
        QByteArray pe = Images::pe(standard);
        pe.replace(0x40 + 24 + 0xF0 + 16, 4, QByteArray::fromHex("60000000"));
        QCOMPARE(readFromBytes(pe), QByteArray());
        // Extended numbering (the count in the first section): a hostile count whose table
        // size wraps around to the real one's gives nothing, an honest one finds the section.
        QByteArray extended = Images::elf(standard, true, false);
        const int table = int(uchar(extended[0x28]) | uchar(extended[0x29]) << 8);
        extended[0x3C] = extended[0x3D] = 0;
        extended.replace(table + 0x20, 8, QByteArray::fromHex("0400000000000004"));
        QCOMPARE(readFromBytes(extended), QByteArray());
        extended.replace(table + 0x20, 8, QByteArray::fromHex("0400000000000000"));
        QCOMPARE(readFromBytes(extended), standard);
    }
    void translationsAreTriedInOrder()
    {
        const QPair<QString, QString> first{"CompanyName", "First"}, one{"ProductName", "One"},
            second{"CompanyName", "Second"}, two{"ProductName", "Two"};
        KvVersionResourceBuilder bare; // no fixed information
        bare.omitFixedInfo();
        bare.addStringTable(0x0409, 0x04B0, {first, one});
        const QList<QPair<QByteArray, QString>> blocks{
            // The second has both and wins; the first with both stops the search.
            {resource({{0x0409, {first}}, {0x0407, {second, two}}}), "Second|Two|2.5.7"},
            {resource({{0x0409, {first, one}}, {0x0407, {second, two}}}), "First|One|2.5.7"},
            {resource({}, 65535, 1, 65534), "||65535.1.65534"}, // the highest parts
            {bare.build(), "First|One|"}};
        for (const auto &[block, expected] : blocks)
            QCOMPARE(describeFile(Images::pe(block)), expected);
    }
};

QTEST_GUILESS_MAIN(TestFileVersion)
#include "tst_fileversion.moc"
