#include "support/KvLogFileOpener.h"

#include <QFile>

#include <fcntl.h>

namespace {

class KvLinuxLogFileOpener final : public KvLogFileOpener
{
public:
    int openForAppending(const QString &path) override
    {
        return ::open(QFile::encodeName(path).constData(),
                      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    }
};

} // namespace

KvLogFileOpener *KvLogFileOpener::native()
{
    static KvLinuxLogFileOpener opener;
    return &opener;
}
