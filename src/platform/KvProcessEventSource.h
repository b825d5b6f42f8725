#pragma once

#include "platform/KvPlatformTypes.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVariant>

// The properties of one process instance, in the order the source lists
// them. Values are a 32-bit signed integer, text, or an invalid QVariant for
// anything else (including a value the system could not give).
using KvPropertyList = QList<QPair<QString, QVariant>>;

// A running subscription to process start and end events. It emits on the
// thread that created it, which is the GUI thread, and stops when destroyed.
class KvProcessEventSource : public QObject
{
    Q_OBJECT

public:
    // listening: whether events will arrive at all. description: which
    // mechanism delivers them, or why none does, for the log.
    KvProcessEventSource(bool listening, const QString &description, QObject *parent = nullptr);
    ~KvProcessEventSource() override;

    bool isListening() const { return m_listening; }
    QString description() const { return m_description; }

signals:
    // A process was created: "Handle" (decimal id as text), "ParentProcessId",
    // "ExecutablePath", "CommandLine" and "Name", among possibly others; a
    // source may leave out what it could not read, and the command line
    // where the path is given.
    void instanceCreated(const KvPropertyList &properties);
    // A process ended: "Handle", among possibly others.
    void instanceDeleted(const KvPropertyList &properties);
    // The system dropped events it could not deliver in time.
    void eventsLost();

private:
    bool m_listening;
    QString m_description;
};
