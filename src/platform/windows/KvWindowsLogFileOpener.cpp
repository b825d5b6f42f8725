#include "platform/windows/win32/KvWin32Files.h"
#include "support/KvLogFileOpener.h"

#include <fcntl.h>
#include <io.h>

namespace {

class KvWindowsLogFileOpener final : public KvLogFileOpener
{
public:
    int openForAppending(const QString &path, QString &) override
    {
        KvWin32Handle file = KvWin32Files::openForAppending(path.toStdWString());
        if (!file)
            return -1;
        const int fd =
            _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_APPEND | _O_BINARY);
        // The descriptor owns the handle from now on.
        if (fd >= 0)
            file.release();
        return fd;
    }
};

} // namespace

KvLogFileOpener *KvLogFileOpener::native()
{
    static KvWindowsLogFileOpener opener;
    return &opener;
}
