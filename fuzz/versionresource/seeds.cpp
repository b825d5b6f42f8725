// Writes the starting corpus of fuzz_versionresource into a directory.

#include "ExecutableImages.h"

#include "platform/common/KvVersionResourceBuilder.h"

#include <QDir>
#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    const QDir directory(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(directory.path());

    KvVersionResourceBuilder full;
    full.setFileVersion(1, 0, 148, 0);
    full.addStringTable(0x0409, 0x04B0,
                        {{QStringLiteral("CompanyName"), QStringLiteral("Veltrom")},
                         {QStringLiteral("ProductName"), QStringLiteral("Corvane")}});
    full.addStringTable(0x0407, 0x04E4, {{QStringLiteral("ProductName"), QStringLiteral("Zwei")}});
    KvVersionResourceBuilder bare;
    bare.omitFixedInfo();
    bare.setTranslations({});

    const QList<QPair<QString, QByteArray>> seeds = {
        {QStringLiteral("block"), full.build()},
        {QStringLiteral("bare-block"), bare.build()},
        {QStringLiteral("pe"), ExecutableImages::pe(full.build())},
        {QStringLiteral("elf64"), ExecutableImages::elf(full.build(), true, false)},
        {QStringLiteral("elf32be"), ExecutableImages::elf(full.build(), false, true)},
    };
    for (const auto &seed : seeds) {
        QFile file(directory.filePath(seed.first));
        if (!file.open(QIODevice::WriteOnly) || file.write(seed.second) != seed.second.size())
            return 1;
    }
    return 0;
}
