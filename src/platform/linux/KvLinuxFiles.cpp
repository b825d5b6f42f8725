#include "platform/KvPlatformFiles.h"

#include <QFile>

#include <cerrno>
#include <cstdio>

namespace {

class KvLinuxFiles final : public KvPlatformFiles
{
public:
    KvStatus replace(const QString &from, const QString &to) override
    {
        if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) !=
            0)
            return KvError::fromErrno(errno);
        return {};
    }
};

} // namespace

KvPlatformFiles *KvPlatformFiles::native()
{
    static KvLinuxFiles files;
    return &files;
}
