#include "platform/KvProcessEventSource.h"

namespace {

QVariant textOrInvalid(const QString &text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

} // namespace

KvProcessEventSource::KvProcessEventSource(bool listening, const QString &description,
                                           QObject *parent)
    : QObject(parent)
    , m_listening(listening)
    , m_description(description)
{}

KvProcessEventSource::~KvProcessEventSource() = default;

KvPropertyList KvProcessEventSource::creationProperties(DWORD processId, DWORD parentProcessId,
                                                        const QString &executablePath,
                                                        const QString &commandLine,
                                                        const QString &name)
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

KvPropertyList KvProcessEventSource::deletionProperties(DWORD processId)
{
    return {{QStringLiteral("Handle"), QString::number(processId)}};
}
