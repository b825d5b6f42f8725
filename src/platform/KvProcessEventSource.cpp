#include "platform/KvProcessEventSource.h"

KvProcessEventSource::KvProcessEventSource(bool listening, const QString &description,
                                           const KvError &failure)
    : m_listening(listening)
    , m_description(description)
    , m_failure(failure)
{}

KvProcessEventSource::~KvProcessEventSource() = default;
