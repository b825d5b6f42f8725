#include "platform/common/KvProcessEventProperties.h"

namespace {

QVariant textOrInvalid(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

} // namespace

KvPropertyList KvProcessEventProperties::creation(DWORD processId, DWORD parentProcessId,
                                                  const QString &executablePath,
                                                  const QString &commandLine, const QString &name)
{
    return {
        {QStringLiteral("CommandLine"), textOrInvalid(commandLine)},
        {QStringLiteral("ExecutablePath"), textOrInvalid(executablePath)},
        {QStringLiteral("Handle"), QString::number(processId)},
        {QStringLiteral("Name"), textOrInvalid(name)},
        {QStringLiteral("ParentProcessId"),
         parentProcessId == 0xFFFFFFFF ? QVariant() : QVariant(static_cast<int>(parentProcessId))},
    };
}

KvPropertyList KvProcessEventProperties::deletion(DWORD processId)
{
    return {{QStringLiteral("Handle"), QString::number(processId)}};
}

QVariant KvProcessEventProperties::value(const KvPropertyList &properties, const char *key)
{
    for (const QPair<QString, QVariant> &property : properties) {
        if (property.first == QLatin1String(key))
            return property.second;
    }
    return QVariant();
}
