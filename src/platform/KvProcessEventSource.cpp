#include "platform/KvProcessEventSource.h"

KvProcessEventSource::KvProcessEventSource(bool listening, const QString &description,
                                           QObject *parent)
    : QObject(parent)
    , m_listening(listening)
    , m_description(description)
{}

KvProcessEventSource::KvProcessEventSource(const KvError &failure, const QString &description)
    : m_listening(false)
    , m_description(description)
    , m_failure(failure)
{}

KvProcessEventSource::~KvProcessEventSource() = default;
