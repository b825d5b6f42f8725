#include "platform/windows/KvWindowsError.h"

KvError KvWindowsError::last()
{
    return fromCode(GetLastError());
}

KvError KvWindowsError::fromCode(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = QString::fromWCharArray(text, int(length)).trimmed();
    LocalFree(text);
    if (message.isEmpty())
        message = QStringLiteral("error 0x%1").arg(code, 8, 16, QLatin1Char('0'));
    return KvError{static_cast<int>(code), message};
}
