#include "ExecutableImages.h"

namespace {

class Writer
{
public:
    explicit Writer(bool bigEndian = false)
        : big(bigEndian)
    {}

    void put(int offset, quint64 value, int width)
    {
        if (bytes.size() < offset + width)
            bytes.resize(offset + width);
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (big ? width - 1 - i : i);
            bytes[offset + i] = char((value >> shift) & 0xFF);
        }
    }

    void putBytes(int offset, const QByteArray &data)
    {
        if (bytes.size() < offset + data.size())
            bytes.resize(offset + data.size());
        bytes.replace(offset, data.size(), data);
    }

    QByteArray bytes;

private:
    bool big;
};

} // namespace

QByteArray ExecutableImages::pe(const QByteArray &versionBlock, quint32 resourceId)
{
    const int peOffset = 0x40;
    const int optionalOffset = peOffset + 24;
    const int optionalSize = 0xF0;
    const int sectionTable = optionalOffset + optionalSize;
    const int rawOffset = 0x200;
    const quint32 sectionRva = 0x1000;
    const int dataOffset = 0x58;
    const int sectionSize = dataOffset + versionBlock.size();

    Writer file;
    file.bytes = QByteArray(rawOffset, '\0');
    file.putBytes(0, "MZ");
    file.put(0x3C, peOffset, 4);
    file.putBytes(peOffset, QByteArray("PE\0\0", 4));
    file.put(peOffset + 4, 0x8664, 2); // Machine
    file.put(peOffset + 6, 1, 2);      // NumberOfSections
    file.put(peOffset + 20, optionalSize, 2);
    file.put(optionalOffset, 0x20B, 2);                    // PE32+
    file.put(optionalOffset + 108, 16, 4);                 // NumberOfRvaAndSizes
    file.put(optionalOffset + 112 + 2 * 8, sectionRva, 4); // resource directory
    file.put(optionalOffset + 112 + 2 * 8 + 4, quint32(sectionSize), 4);
    file.putBytes(sectionTable, ".rsrc");
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
    file.putBytes(rawOffset + dataOffset, versionBlock);
    return file.bytes;
}

QByteArray ExecutableImages::elf(const QByteArray &versionBlock, bool is64Bit, bool bigEndian,
                                 const QByteArray &sectionName)
{
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

    Writer file(bigEndian);
    file.putBytes(0, QByteArray("\x7F"
                                "ELF",
                                4));
    file.put(4, is64Bit ? 2 : 1, 1);
    file.put(5, bigEndian ? 2 : 1, 1);
    file.put(6, 1, 1);
    file.put(16, 2, 2); // ET_EXEC
    if (is64Bit) {
        file.put(0x28, quint64(tableOffset), 8);
        file.put(0x34, headerSize, 2);
        file.put(0x3A, entrySize, 2);
        file.put(0x3C, count, 2);
        file.put(0x3E, 3, 2);
    } else {
        file.put(0x20, quint32(tableOffset), 4);
        file.put(0x28, headerSize, 2);
        file.put(0x2E, entrySize, 2);
        file.put(0x30, count, 2);
        file.put(0x32, 3, 2);
    }
    file.putBytes(textOffset, text);
    file.putBytes(versionOffset, versionBlock);
    file.putBytes(namesOffset, names);

    auto section = [&](int index, int nameOffset, int type, int offset, int size) {
        const int at = tableOffset + index * entrySize;
        file.put(at, quint32(nameOffset), 4);
        file.put(at + 4, quint32(type), 4);
        if (is64Bit) {
            file.put(at + 0x18, quint64(offset), 8);
            file.put(at + 0x20, quint64(size), 8);
        } else {
            file.put(at + 0x10, quint32(offset), 4);
            file.put(at + 0x14, quint32(size), 4);
        }
    };
    file.put(tableOffset + count * entrySize - 1, 0, 1);
    section(1, 1, 1, textOffset, text.size());
    section(2, 7, 1, versionOffset, versionBlock.size());
    section(3, 8 + sectionName.size(), 3, namesOffset, names.size());
    return file.bytes;
}
