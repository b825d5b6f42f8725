#include "platform/KvProcessEventSource.h"

KvProcessEventSource::KvProcessEventSource(bool listening, const QString &description,
                                           QObject *parent)
    : QObject(parent)
    , m_listening(listening)
    , m_description(description)
{}

KvProcessEventSource::~KvProcessEventSource() = default;
