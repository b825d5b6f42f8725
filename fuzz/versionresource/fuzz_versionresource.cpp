// Feeds arbitrary bytes to the version-resource reader twice: as an
// executable file (PE or ELF) and as a version block. The reader must
// neither crash nor read out of bounds, and whatever block it returns must
// be well formed.

#include "platform/common/KvExecutableVersionReader.h"
#include "platform/common/KvVersionResource.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

namespace {

void queryEverything(const QByteArray &block)
{
    QByteArray value;
    KvVersionResource::queryValue(block, QStringLiteral("\\"), value);
    if (!KvVersionResource::queryValue(block, QStringLiteral("\\VarFileInfo\\Translation"), value))
        return;
    for (int offset = 0; offset + 4 <= value.size() && offset < 64; offset += 4) {
        const quint16 language = quint16(uchar(value[offset]) | uchar(value[offset + 1]) << 8);
        const quint16 codePage = quint16(uchar(value[offset + 2]) | uchar(value[offset + 3]) << 8);
        const QString table = QStringLiteral("\\StringFileInfo\\%1%2\\")
                                  .arg(language, 4, 16, QLatin1Char('0'))
                                  .arg(codePage, 4, 16, QLatin1Char('0'));
        QByteArray text;
        for (const char *name : {"CompanyName", "ProductName"}) {
            if (KvVersionResource::queryValue(block, table + QLatin1String(name), text))
                KvVersionResource::stringValue(text);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));

    QBuffer file;
    file.setData(bytes);
    file.open(QIODevice::ReadOnly);
    const QByteArray block = KvExecutableVersionReader::read(file);
    if (!block.isEmpty()) {
        if (KvVersionResource::rootLength(block) != block.size())
            std::abort(); // the reader handed out a malformed block
        queryEverything(block);
    }

    queryEverything(QByteArray(bytes.constData(), bytes.size()));
    return 0;
}
