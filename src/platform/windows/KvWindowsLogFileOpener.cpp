#include "platform/windows/win32/KvWin32Files.h"
#include "support/KvLogFileOpener.h"

#include <fcntl.h>
#include <io.h>

namespace {

class KvWindowsLogFileOpener final : public KvLogFileOpener
{
public:
    int openForAppending(const QString &path) override
    {
        const HANDLE file = KvWin32Files::openForAppending(path.toStdWString());
        if (file == INVALID_HANDLE_VALUE)
            return -1;
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
        if (fd < 0)
            CloseHandle(file);
        return fd;
    }
};

} // namespace

KvLogFileOpener *KvLogFileOpener::native()
{
    static KvWindowsLogFileOpener opener;
    return &opener;
}
