#pragma once

#include <QByteArray>

// Minimal but well-formed executable files around a version block, for
// tests of the reader.
class ExecutableImages
{
public:
    // A PE32+ file with one ".rsrc" section whose resource tree holds
    // RT_VERSION / resourceId / 0x0409.
    static QByteArray pe(const QByteArray &versionBlock, quint32 resourceId = 1);
    // An ELF file with the version section between two other sections.
    static QByteArray elf(const QByteArray &versionBlock, bool is64Bit, bool bigEndian,
                          const QByteArray &sectionName = ".kvversion");
};
