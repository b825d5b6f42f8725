#include "ExecutableImages.h"

#include "platform/common/KvExecutableVersionReader.h"
#include "platform/common/KvVersionResource.h"
#include "platform/common/KvVersionResourceBuilder.h"
#include "platform/simulated/KvSimulatedMachine.h"
#include "support/KvFileInfo.h"
#include "support/KvString.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTest>

#include <cwchar>

namespace {

using Strings = KvVersionResourceBuilder::Strings;

QByteArray resource(const QList<QPair<QPair<quint16, quint16>, Strings>> &tables, quint16 major = 2,
                    quint16 minor = 5, quint16 build = 7, quint16 revision = 300)
{
    KvVersionResourceBuilder builder;
    builder.setFileVersion(major, minor, build, revision);
    for (const auto &table : tables)
        builder.addStringTable(table.first.first, table.first.second, table.second);
    return builder.build();
}

QByteArray standardResource()
{
    return resource({{{0x0409, 0x04B0},
                      {{QStringLiteral("CompanyName"), QStringLiteral("Contoso")},
                       {QStringLiteral("ProductName"), QStringLiteral("Game")}}}});
}

QByteArray readFromBytes(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    return KvExecutableVersionReader::read(buffer);
}

QString queryString(const QByteArray &block, const QString &path)
{
    QByteArray value;
    if (!KvVersionResource::queryValue(block, path, value))
        return QStringLiteral("<none>");
    return KvVersionResource::stringValue(value);
}

} // namespace

class FileVersionTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    // VerQueryValueW semantics
    void queriesFollowTheBlocksTree();
    void malformedBlocksGiveNoValue_data();
    void malformedBlocksGiveNoValue();
    void everyTruncationOfABlockIsRefused();

    // Executable files
    void readsTheBlockFromPeAndElfFiles_data();
    void readsTheBlockFromPeAndElfFiles();
    void filesWithoutAResourceGiveNothing();
    void truncatedAndCorruptedFilesNeverYieldGarbage_data()
    {
        readsTheBlockFromPeAndElfFiles_data();
    }
    void truncatedAndCorruptedFilesNeverYieldGarbage();
    void ownExecutableCarriesItsIdentity();

    // KvFileInfo over the simulated machine
    void translationsAreTriedInOrder_data();
    void translationsAreTriedInOrder();
    void failedReadsKeepEarlierValues();
    void copiesAndDefaultObjectsReadNothing();

    void wideStringCopies();

private:
    KvSimulatedMachine *machine = nullptr;
};

void FileVersionTest::init()
{
    machine = new KvSimulatedMachine;
}

void FileVersionTest::cleanup()
{
    machine->uninstall();
    delete machine;
    machine = nullptr;
}

void FileVersionTest::queriesFollowTheBlocksTree()
{
    const QByteArray block = standardResource();
    QByteArray value;
    QVERIFY(KvVersionResource::queryValue(block, QStringLiteral("\\"), value));
    QCOMPARE(value.size(), 52);
    QCOMPARE(quint32(uchar(value[0]) | uchar(value[1]) << 8 | uchar(value[2]) << 16 |
                     uchar(value[3]) << 24),
             0xFEEF04BDu);

    QVERIFY(
        KvVersionResource::queryValue(block, QStringLiteral("\\VarFileInfo\\Translation"), value));
    QCOMPARE(value, QByteArray("\x09\x04\xB0\x04", 4));

    QCOMPARE(queryString(block, QStringLiteral("\\StringFileInfo\\040904b0\\CompanyName")),
             QStringLiteral("Contoso"));
    // Keys compare without regard to case, as VerQueryValueW does.
    QCOMPARE(queryString(block, QStringLiteral("\\stringfileinfo\\040904B0\\PRODUCTNAME")),
             QStringLiteral("Game"));
    QCOMPARE(queryString(block, QStringLiteral("\\StringFileInfo\\040904b0\\FileVersion")),
             QStringLiteral("<none>"));
    QCOMPARE(queryString(block, QStringLiteral("\\StringFileInfo\\040704b0\\CompanyName")),
             QStringLiteral("<none>"));
    // A key is matched whole, never by prefix.
    QCOMPARE(queryString(block, QStringLiteral("\\StringFileInfo\\040904b0\\Company")),
             QStringLiteral("<none>"));
}

void FileVersionTest::malformedBlocksGiveNoValue_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("path");

    const QByteArray good = standardResource();
    QByteArray longer = good;
    longer[0] = char(0xFF);
    longer[1] = char(0x7F); // root claims more bytes than the block has
    QTest::newRow("root longer than block") << longer << QStringLiteral("\\");

    QByteArray unterminated = good.left(6);
    for (int i = 0; i < 20; ++i)
        unterminated.append("A\0", 2);
    unterminated[0] = char(unterminated.size());
    unterminated[1] = 0;
    QTest::newRow("key without terminator") << unterminated << QStringLiteral("\\");

    QByteArray tiny("\x04\x00\x00\x00", 4);
    QTest::newRow("length below header") << tiny << QStringLiteral("\\");
    QTest::newRow("empty") << QByteArray() << QStringLiteral("\\");

    // The first child (StringFileInfo) claims to run past its parent.
    QByteArray child = good;
    const int childStart = 6 + 16 * 2 + 52 + 2; // header, key, padding, fixed info
    QCOMPARE(child.mid(childStart + 6, 2), QByteArray("S\0", 2));
    child[childStart] = char(0xF0);
    child[childStart + 1] = char(0x7F);
    QTest::newRow("child past parent")
        << child << QStringLiteral("\\StringFileInfo\\040904b0\\CompanyName");

    QByteArray zero = good;
    zero[childStart] = 0;
    zero[childStart + 1] = 0;
    QTest::newRow("child of length 0")
        << zero << QStringLiteral("\\StringFileInfo\\040904b0\\CompanyName");
}

void FileVersionTest::malformedBlocksGiveNoValue()
{
    QFETCH(QByteArray, block);
    QFETCH(QString, path);
    QByteArray value;
    QVERIFY(!KvVersionResource::queryValue(block, path, value));
}

void FileVersionTest::everyTruncationOfABlockIsRefused()
{
    const QByteArray block = standardResource();
    QVERIFY(KvVersionResource::rootLength(block) == block.size());
    for (int size = 0; size < block.size(); ++size) {
        const QByteArray cut = block.left(size);
        QByteArray value;
        QVERIFY2(!KvVersionResource::queryValue(cut, QStringLiteral("\\"), value),
                 qPrintable(QString::number(size)));
        QCOMPARE(KvVersionResource::rootLength(cut), 0);
    }
}

void FileVersionTest::readsTheBlockFromPeAndElfFiles_data()
{
    QTest::addColumn<QByteArray>("file");
    const QByteArray block = standardResource();
    QTest::newRow("PE, resource 1") << ExecutableImages::pe(block);
    QTest::newRow("PE, other resource id") << ExecutableImages::pe(block, 7);
    QTest::newRow("ELF64 little-endian") << ExecutableImages::elf(block, true, false);
    QTest::newRow("ELF32 big-endian") << ExecutableImages::elf(block, false, true);
}

void FileVersionTest::readsTheBlockFromPeAndElfFiles()
{
    QFETCH(QByteArray, file);
    QCOMPARE(readFromBytes(file), standardResource());

    // And through the native backend and KvFileInfo, from a real file.
    QTemporaryFile onDisk;
    QVERIFY(onDisk.open());
    onDisk.write(file);
    onDisk.close();
    const KvFileInfo info(onDisk.fileName());
    QCOMPARE(info.companyName(), QStringLiteral("Contoso"));
    QCOMPARE(info.productName(), QStringLiteral("Game"));
    QCOMPARE(info.version(), QVersionNumber(2, 5, 7));
}

void FileVersionTest::filesWithoutAResourceGiveNothing()
{
    const QByteArray block = standardResource();
    QCOMPARE(readFromBytes(ExecutableImages::elf(block, true, false, ".rodata")), QByteArray());
    QCOMPARE(readFromBytes(QByteArray("#!/bin/sh\necho hello\n")), QByteArray());
    QCOMPARE(readFromBytes(QByteArray()), QByteArray());
    // A section that holds no version block.
    QCOMPARE(readFromBytes(ExecutableImages::elf(QByteArray(64, 'x'), true, false)), QByteArray());

    // Extended section numbering with a hostile count whose table size
    // would wrap around.
    QByteArray hostile = ExecutableImages::elf(block, true, false);
    const int table = int(uchar(hostile[0x28]) | uchar(hostile[0x29]) << 8);
    hostile[0x3C] = 0;
    hostile[0x3D] = 0;
    for (int i = 0; i < 8; ++i)
        hostile[table + 0x20 + i] = i == 7 ? char(0x40) : char(0);
    QCOMPARE(readFromBytes(hostile), QByteArray());
    // The same with an honest count still finds the section.
    for (int i = 0; i < 8; ++i)
        hostile[table + 0x20 + i] = i == 0 ? char(4) : char(0);
    QCOMPARE(readFromBytes(hostile), block);

    // Not a regular file: nothing, and no attempt to read a directory.
    QCOMPARE(KvExecutableVersionReader::readFile(QStringLiteral("/")), QByteArray());
    QCOMPARE(KvExecutableVersionReader::readFile(QStringLiteral("/nonexistent/x.exe")),
             QByteArray());
}

void FileVersionTest::truncatedAndCorruptedFilesNeverYieldGarbage()
{
    QFETCH(QByteArray, file);
    const QByteArray block = standardResource();

    // Any truncation that cuts into the block or the tables behind it gives
    // nothing; one that keeps everything gives the block.
    for (int size = 0; size < file.size(); ++size) {
        const QByteArray result = readFromBytes(file.left(size));
        QVERIFY2(result.isEmpty() || result == block, qPrintable(QString::number(size)));
    }

    // Corrupted bytes: whatever comes back must be a well-formed block.
    QRandomGenerator random(2026);
    for (int round = 0; round < 3000; ++round) {
        QByteArray corrupt = file;
        const int flips = 1 + int(random.bounded(4));
        for (int i = 0; i < flips; ++i)
            corrupt[int(random.bounded(corrupt.size()))] = char(random.bounded(256));
        const QByteArray result = readFromBytes(corrupt);
        QVERIFY(result.isEmpty() || KvVersionResource::rootLength(result) == result.size());
    }
}

void FileVersionTest::ownExecutableCarriesItsIdentity()
{
    const KvFileInfo info(QStringLiteral(CORVANE_EXECUTABLE));
    QCOMPARE(info.companyName(), QStringLiteral("Veltrom"));
    QCOMPARE(info.productName(), QStringLiteral("Corvane"));
    QCOMPARE(info.version(), QVersionNumber(1, 0, 148));
}

void FileVersionTest::translationsAreTriedInOrder_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QString>("company");
    QTest::addColumn<QString>("product");
    QTest::addColumn<QVersionNumber>("version");

    const QVersionNumber standard(2, 5, 7);
    const QString company = QStringLiteral("CompanyName");
    const QString product = QStringLiteral("ProductName");
    QTest::newRow("second has both and wins")
        << resource(
               {{{0x0409, 0x04B0}, {{company, QStringLiteral("First Ltd")}}},
                {{0x0407, 0x04E4},
                 {{company, QStringLiteral("Second GmbH")}, {product, QStringLiteral("Zwei")}}}})
        << QStringLiteral("Second GmbH") << QStringLiteral("Zwei") << standard;
    QTest::newRow("first with both stops the search")
        << resource(
               {{{0x0409, 0x04B0},
                 {{company, QStringLiteral("First Ltd")}, {product, QStringLiteral("One")}}},
                {{0x0407, 0x04E4},
                 {{company, QStringLiteral("Second GmbH")}, {product, QStringLiteral("Zwei")}}}})
        << QStringLiteral("First Ltd") << QStringLiteral("One") << standard;
    QTest::newRow("only product name")
        << resource({{{0x0409, 0x04B0}, {{product, QStringLiteral("Lonely")}}}}) << QString()
        << QStringLiteral("Lonely") << standard;
    QTest::newRow("no translation gives both: the last one tried stays")
        << resource({{{0x0409, 0x04B0}, {{company, QStringLiteral("First Ltd")}}},
                     {{0x0407, 0x04E4}, {{product, QStringLiteral("Zwei")}}}})
        << QString() << QStringLiteral("Zwei") << standard;
    // The version has three parts; the fourth never shows.
    QTest::newRow("no strings, highest parts") << resource({}, 65535, 1, 65534, 9) << QString()
                                               << QString() << QVersionNumber(65535, 1, 65534);
    KvVersionResourceBuilder bare;
    bare.setFileVersion(3, 1, 4, 1);
    bare.setTranslations({});
    QTest::newRow("no translations at all")
        << bare.build() << QString() << QString() << QVersionNumber(3, 1, 4);
}

void FileVersionTest::translationsAreTriedInOrder()
{
    QFETCH(QByteArray, block);
    QFETCH(QString, company);
    QFETCH(QString, product);
    QFETCH(QVersionNumber, version);
    machine->installAsCurrent();
    machine->setVersionBlock(QStringLiteral("C:/x.exe"), block);
    const KvFileInfo info(QStringLiteral("C:/x.exe"));
    QCOMPARE(info.companyName(), company);
    QCOMPARE(info.productName(), product);
    QCOMPARE(info.version(), version);
}

void FileVersionTest::failedReadsKeepEarlierValues()
{
    machine->installAsCurrent();
    machine->setVersionBlock(QStringLiteral("C:/game.exe"), standardResource());
    KvFileInfo info(QStringLiteral("C:/game.exe"));
    QCOMPARE(info.companyName(), QStringLiteral("Contoso"));

    // A file without a resource.
    info.setFile(QStringLiteral("C:/plain.exe"));
    info.readVersionInfo();
    QCOMPARE(info.filePath(), QStringLiteral("C:/plain.exe"));
    QCOMPARE(info.companyName(), QStringLiteral("Contoso"));
    QCOMPARE(info.productName(), QStringLiteral("Game"));
    QCOMPARE(info.version(), QVersionNumber(2, 5, 7));

    // A file whose block cannot be read after its size was.
    machine->setVersionBlock(QStringLiteral("C:/locked.exe"), resource({}, 9, 9, 9, 9));
    machine->failGetFileVersionInfo(QStringLiteral("C:/locked.exe"), 32);
    info.setFile(QStringLiteral("C:/locked.exe"));
    info.readVersionInfo();
    QCOMPARE(info.version(), QVersionNumber(2, 5, 7));

    // A resource without fixed information keeps the version but takes the
    // names.
    KvVersionResourceBuilder builder;
    builder.omitFixedInfo();
    builder.addStringTable(0x0409, 0x04B0,
                           {{QStringLiteral("CompanyName"), QStringLiteral("Fabrikam")},
                            {QStringLiteral("ProductName"), QStringLiteral("Tool")}});
    machine->setVersionBlock(QStringLiteral("C:/tool.exe"), builder.build());
    info.setFile(QStringLiteral("C:/tool.exe"));
    info.readVersionInfo();
    QCOMPARE(info.companyName(), QStringLiteral("Fabrikam"));
    QCOMPARE(info.version(), QVersionNumber(2, 5, 7));
}

void FileVersionTest::copiesAndDefaultObjectsReadNothing()
{
    machine->installAsCurrent();
    machine->setVersionBlock(QStringLiteral("C:/game.exe"), standardResource());
    const KvFileInfo empty;
    QVERIFY(machine->calls().isEmpty());
    QVERIFY(empty.version().isNull());

    const KvFileInfo original(QStringLiteral("C:/game.exe"));
    machine->clearCalls();
    KvFileInfo copy(original);
    KvFileInfo assigned;
    assigned = original;
    QVERIFY(machine->calls().isEmpty());
    QCOMPARE(copy.filePath(), QStringLiteral("C:/game.exe"));
    QCOMPARE(assigned.companyName(), QStringLiteral("Contoso"));
    QCOMPARE(copy.version(), QVersionNumber(2, 5, 7));
}

void FileVersionTest::wideStringCopies()
{
    KvString text(QStringLiteral("C:/Programme/Zürich ☃.exe"));
    const wchar_t *first = text.wideString();
    QVERIFY(first);
    QCOMPARE(QString::fromWCharArray(first), text);
    QCOMPARE(std::wcslen(first), size_t(text.size()));

    // Copies keep their own buffer; destroying one leaves the other intact.
    KvString copy(text);
    {
        KvString assigned;
        assigned = text;
        QVERIFY(assigned.wideString());
    }
    const wchar_t *second = copy.wideString();
    QVERIFY(second);
    QCOMPARE(QString::fromWCharArray(text.wideString()), QString(copy));
}

QTEST_GUILESS_MAIN(FileVersionTest)
#include "tst_fileversion.moc"
