#include "platform/common/KvExecutableVersionReader.h"

#include "platform/common/KvVersionResource.h"

#include <QFile>
#include <QFileInfo>

#include <cstring>

namespace {

// A version block is at most 64 KiB: its length field has 16 bits.
const qint64 maximumBlockSize = 0xFFFF;

class Reader
{
public:
    explicit Reader(QIODevice &device)
        : device(device)
        , size(device.size())
    {}

    bool read(quint64 offset, qint64 length, QByteArray &bytes)
    {
        if (length < 0 || offset > quint64(size) || quint64(length) > quint64(size) - offset)
            return false;
        if (!device.seek(qint64(offset)))
            return false;
        bytes = device.read(length);
        return bytes.size() == length;
    }

    qint64 fileSize() const { return size; }

private:
    QIODevice &device;
    qint64 size;
};

// Little- or big-endian integers from a buffer whose size the caller checked.
quint64 readInteger(const QByteArray &bytes, int offset, int width, bool bigEndian)
{
    quint64 value = 0;
    for (int i = 0; i < width; ++i) {
        const int index = bigEndian ? offset + i : offset + width - 1 - i;
        value = (value << 8) | uchar(bytes[index]);
    }
    return value;
}

quint64 le(const QByteArray &bytes, int offset, int width)
{
    return readInteger(bytes, offset, width, false);
}

QByteArray validBlock(const QByteArray &bytes)
{
    const int length = KvVersionResource::rootLength(bytes);
    return length ? bytes.left(length) : QByteArray();
}

// ---- ELF ----------------------------------------------------------------

QByteArray readElf(Reader &reader)
{
    QByteArray header;
    if (!reader.read(0, 64, header) && !reader.read(0, 52, header))
        return {};
    const int elfClass = uchar(header[4]);
    const int data = uchar(header[5]);
    if ((elfClass != 1 && elfClass != 2) || (data != 1 && data != 2))
        return {};
    const bool big = data == 2;
    const bool wide = elfClass == 2;
    if (wide && header.size() < 64)
        return {};
    auto field = [&](const QByteArray &bytes, int offset, int width) {
        return readInteger(bytes, offset, width, big);
    };

    const quint64 sectionOffset = wide ? field(header, 0x28, 8) : field(header, 0x20, 4);
    const int entrySize = int(wide ? field(header, 0x3A, 2) : field(header, 0x2E, 2));
    quint64 count = wide ? field(header, 0x3C, 2) : field(header, 0x30, 2);
    quint64 namesIndex = wide ? field(header, 0x3E, 2) : field(header, 0x32, 2);
    const int minimumEntry = wide ? 64 : 40;
    if (sectionOffset == 0 || entrySize < minimumEntry)
        return {};

    auto sectionField = [&](const QByteArray &entry, int wideOffset, int narrowOffset) {
        return wide ? field(entry, wideOffset, 8) : field(entry, narrowOffset, 4);
    };

    // Extended numbering: the real counts live in the first section header.
    if (count == 0 || namesIndex == 0xFFFF) {
        QByteArray first;
        if (!reader.read(sectionOffset, entrySize, first))
            return {};
        if (count == 0)
            count = sectionField(first, 0x20, 0x14);
        if (namesIndex == 0xFFFF)
            namesIndex = field(first, wide ? 0x28 : 0x18, 4);
    }
    // Divided, not multiplied: a hostile count would wrap the product.
    if (count == 0 || count > (16u << 20) / quint64(entrySize) || namesIndex >= count)
        return {};

    QByteArray table;
    if (!reader.read(sectionOffset, qint64(count) * entrySize, table))
        return {};
    auto entryAt = [&](quint64 index) { return table.mid(int(index) * entrySize, entrySize); };

    const QByteArray namesEntry = entryAt(namesIndex);
    const quint64 namesOffset = sectionField(namesEntry, 0x18, 0x10);
    const quint64 namesSize = sectionField(namesEntry, 0x20, 0x14);
    QByteArray names;
    if (namesSize > (1u << 20) || !reader.read(namesOffset, qint64(namesSize), names))
        return {};

    const QByteArray wanted = KvExecutableVersionReader::elfSectionName();
    for (quint64 index = 0; index < count; ++index) {
        const QByteArray entry = entryAt(index);
        const quint64 nameOffset = field(entry, 0, 4);
        const quint64 type = field(entry, 4, 4);
        if (nameOffset >= quint64(names.size()) || type == 8 /* SHT_NOBITS */)
            continue;
        const char *name = names.constData() + nameOffset;
        const int available = names.size() - int(nameOffset);
        if (qstrnlen(name, uint(available)) == uint(available) || wanted != QByteArray(name))
            continue;
        const quint64 offset = sectionField(entry, 0x18, 0x10);
        const quint64 size = sectionField(entry, 0x20, 0x14);
        QByteArray bytes;
        if (!reader.read(offset, qint64(qMin<quint64>(size, maximumBlockSize)), bytes))
            return {};
        return validBlock(bytes);
    }
    return {};
}

// ---- PE -----------------------------------------------------------------

struct PeSection
{
    quint32 virtualAddress;
    quint32 virtualSize;
    quint32 rawSize;
    quint32 rawOffset;
};

class PeImage
{
public:
    explicit PeImage(Reader &reader)
        : reader(reader)
    {}

    bool load()
    {
        QByteArray dos;
        if (!reader.read(0, 64, dos) || dos[0] != 'M' || dos[1] != 'Z')
            return false;
        const quint64 peOffset = le(dos, 0x3C, 4);
        QByteArray coff;
        if (!reader.read(peOffset, 24, coff) || std::memcmp(coff.constData(), "PE\0\0", 4) != 0)
            return false;
        const int sectionCount = int(le(coff, 6, 2));
        const int optionalSize = int(le(coff, 20, 2));
        const quint64 optionalOffset = peOffset + 24;
        QByteArray optional;
        if (optionalSize < 2 || !reader.read(optionalOffset, optionalSize, optional))
            return false;
        const quint64 magic = le(optional, 0, 2);
        int directories;
        int countOffset;
        if (magic == 0x10b) {
            countOffset = 92;
            directories = 96;
        } else if (magic == 0x20b) {
            countOffset = 108;
            directories = 112;
        } else {
            return false;
        }
        const int resourceEntry = directories + 2 * 8;
        if (optionalSize < resourceEntry + 8 || le(optional, countOffset, 4) < 3)
            return false;
        resourceBase = quint32(le(optional, resourceEntry, 4));
        if (resourceBase == 0 || le(optional, resourceEntry + 4, 4) == 0)
            return false;

        QByteArray table;
        if (!reader.read(optionalOffset + quint64(optionalSize), qint64(sectionCount) * 40, table))
            return false;
        for (int i = 0; i < sectionCount; ++i) {
            const int at = i * 40;
            sections.push_back({quint32(le(table, at + 12, 4)), quint32(le(table, at + 8, 4)),
                                quint32(le(table, at + 16, 4)), quint32(le(table, at + 20, 4))});
        }
        return true;
    }

    // Reads length bytes at a relative virtual address, from the one section
    // whose file data holds all of them.
    bool readRva(quint64 rva, qint64 length, QByteArray &bytes)
    {
        for (const PeSection &section : sections) {
            if (rva < section.virtualAddress)
                continue;
            const quint64 inside = rva - section.virtualAddress;
            if (inside + quint64(length) > section.rawSize)
                continue;
            return reader.read(quint64(section.rawOffset) + inside, length, bytes);
        }
        return false;
    }

    // The OffsetToData of the entry of the directory at offset (from the
    // resource base) that matches id, or of its first entry when id < 0.
    // Only ids are matched; named entries are skipped.
    bool findEntry(quint32 directory, int id, bool wantSubdirectory, quint32 &target)
    {
        QByteArray header;
        if (!readRva(quint64(resourceBase) + directory, 16, header))
            return false;
        const int named = int(le(header, 12, 2));
        const int total = qMin(named + int(le(header, 14, 2)), 4096);
        QByteArray entries;
        if (!readRva(quint64(resourceBase) + directory + 16, qint64(total) * 8, entries))
            return false;
        for (int i = 0; i < total; ++i) {
            const quint32 name = quint32(le(entries, i * 8, 4));
            const quint32 offset = quint32(le(entries, i * 8 + 4, 4));
            const bool isSubdirectory = offset & 0x80000000u;
            if (isSubdirectory != wantSubdirectory || (name & 0x80000000u))
                continue;
            if (id >= 0 && name != quint32(id))
                continue;
            target = offset & 0x7FFFFFFFu;
            return true;
        }
        return false;
    }

    QByteArray versionBlock()
    {
        const int versionType = 16;  // RT_VERSION
        const int versionInfoId = 1; // VS_VERSION_INFO
        quint32 names = 0;
        quint32 languages = 0;
        quint32 dataEntry = 0;
        if (!findEntry(0, versionType, true, names))
            return {};
        if (!findEntry(names, versionInfoId, true, languages) &&
            !findEntry(names, -1, true, languages))
            return {};
        if (!findEntry(languages, -1, false, dataEntry))
            return {};
        QByteArray entry;
        if (!readRva(quint64(resourceBase) + dataEntry, 16, entry))
            return {};
        const quint64 dataRva = le(entry, 0, 4);
        const qint64 size = qint64(qMin<quint64>(le(entry, 4, 4), maximumBlockSize));
        QByteArray bytes;
        if (!readRva(dataRva, size, bytes))
            return {};
        return validBlock(bytes);
    }

private:
    Reader &reader;
    quint32 resourceBase = 0;
    std::vector<PeSection> sections;
};

} // namespace

const char *KvExecutableVersionReader::elfSectionName()
{
    return ".kvversion";
}

QByteArray KvExecutableVersionReader::read(QIODevice &device)
{
    Reader reader(device);
    QByteArray magic;
    if (!reader.read(0, 4, magic))
        return {};
    if (magic == QByteArray("\x7f"
                            "ELF",
                            4))
        return readElf(reader);
    if (magic.startsWith("MZ")) {
        PeImage image(reader);
        return image.load() ? image.versionBlock() : QByteArray();
    }
    return {};
}

QByteArray KvExecutableVersionReader::readFile(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return read(file);
}
