// Version resources: the block's tree, and finding it in PE and ELF files.

#include "ExecutableImages.h"
#include "platform/KvPlatformVersion.h"
#include "platform/common/KvExecutableVersionReader.h"
#include "platform/common/KvVersionResource.h"
#include "platform/common/KvVersionResourceBuilder.h"
#include "support/KvFileInfo.h"

#include <QtTest>

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
        QTest::newRow("PE, resource 1") << ExecutableImages::pe(standard);
        QTest::newRow("PE, other resource id") << ExecutableImages::pe(standard, 7);
        QTest::newRow("ELF64 little-endian") << ExecutableImages::elf(standard, true, false);
        QTest::newRow("ELF32 big-endian") << ExecutableImages::elf(standard, false, true);
    }
    void peAndElfFilesYieldTheBlockAndNeverGarbage()
    {
        QFETCH(QByteArray, file);
        QCOMPARE(readFromBytes(file), standard);
        QCOMPARE(describeFile(file), "Contoso|Game|2.5.7");
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
        QCOMPARE(readFromBytes(ExecutableImages::elf(standard, true, false, ".rodata")),
                 QByteArray());
        QCOMPARE(readFromBytes(ExecutableImages::elf(QByteArray(64, 'x'), true, false)),
                 QByteArray());
        QCOMPARE(readFromBytes("#!/bin/sh\necho hello\n"), QByteArray());
        // A PE section whose raw data ends before its resource does (the fixture
        // puts the section table at 0x40 + 24 + 0xF0).
        QByteArray pe = ExecutableImages::pe(standard);
        pe.replace(0x40 + 24 + 0xF0 + 16, 4, QByteArray::fromHex("60000000"));
        QCOMPARE(readFromBytes(pe), QByteArray());
        // Extended numbering (the count in the first section): a hostile count whose table
        // size wraps around to the real one's gives nothing, an honest one finds the section.
        QByteArray extended = ExecutableImages::elf(standard, true, false);
        const int table = int(uchar(extended[0x28]) | uchar(extended[0x29]) << 8);
        extended[0x3C] = extended[0x3D] = 0;
        extended.replace(table + 0x20, 8, QByteArray::fromHex("0400000000000004"));
        QCOMPARE(readFromBytes(extended), QByteArray());
        extended.replace(table + 0x20, 8, QByteArray::fromHex("0400000000000000"));
        QCOMPARE(readFromBytes(extended), standard);
    }
    void translationsAreTriedInOrder()
    {
        const QPair<QString, QString> first{"CompanyName", "First"},
            second{"CompanyName", "Second"};
        const QPair<QString, QString> one{"ProductName", "One"}, two{"ProductName", "Two"};
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
            QCOMPARE(describeFile(ExecutableImages::elf(block, true, false)), expected);
    }
};

QTEST_GUILESS_MAIN(TestFileVersion)
#include "tst_fileversion.moc"
