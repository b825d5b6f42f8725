#pragma once

#include <QByteArray>
#include <QString>

class QIODevice;

// Finds the VS_VERSIONINFO block in an executable file: the RT_VERSION
// resource of a PE file (Windows programs), or the section that our own ELF
// executables carry. Reads only the headers and tables it needs, through
// bounded reads, so a large or hostile file costs a few small reads and
// never a read out of bounds.
class KvExecutableVersionReader
{
public:
    // The name of the ELF section that holds our own version resource.
    static const char *elfSectionName();

    // The block, or empty when the file is neither format, is malformed, or
    // has no version resource.
    static QByteArray read(QIODevice &device);
    // As above for a regular file; anything else (missing, a directory, a
    // device or a pipe, which could block) gives nothing.
    static QByteArray readFile(const QString &path);
};
