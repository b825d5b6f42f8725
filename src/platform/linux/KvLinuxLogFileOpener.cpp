#include "platform/linux/KvLinuxRegularFile.h"
#include "support/KvLogFileOpener.h"

#include <QFile>

#include <fcntl.h>

namespace {

class KvLinuxLogFileOpener final : public KvLogFileOpener
{
public:
    int openForAppending(const QString &path, QString &refusal) override
    {
        // A symbolic link at the log's name would have a copy run as root
        // append to whatever it names.
        return KvLinuxRegularFile::open(QFile::encodeName(path), O_WRONLY | O_APPEND | O_CREAT,
                                        false, refusal)
            .release();
    }
};

} // namespace

KvLogFileOpener *KvLogFileOpener::native()
{
    static KvLinuxLogFileOpener opener;
    return &opener;
}
