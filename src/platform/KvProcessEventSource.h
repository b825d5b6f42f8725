#pragma once

#include "platform/KvResult.h"

#include <QMetaType>
#include <QObject>
#include <QString>

// One process, as the system lists it or reports its start.
struct KvProcessEntry
{
    // Stands for an id the system did not give.
    static constexpr quint32 noProcessId = 0xFFFFFFFF;

    quint32 processId = noProcessId;
    quint32 parentProcessId = noProcessId;
    // The bare file name of the executable, where nothing better is known.
    QString name;
    // The full path of the executable; empty where it cannot be read (a
    // process of another user, a protected one, one that has ended).
    QString path;
};

Q_DECLARE_METATYPE(KvProcessEntry)

// A running subscription to the starts and ends of processes. It emits on
// the thread that made it, the GUI thread, and stops when destroyed.
class KvProcessEventSource : public QObject
{
    Q_OBJECT

public:
    // listening: whether events will arrive at all. description: which
    // mechanism delivers them, or why none does, for the log; failure the
    // error that keeps a source from listening.
    KvProcessEventSource(bool listening, const QString &description,
                         const KvError &failure = KvError());
    ~KvProcessEventSource() override;

    bool isListening() const { return m_listening; }
    QString description() const { return m_description; }
    // Why nothing is delivered, for a source that is not listening.
    const KvError &failure() const { return m_failure; }

signals:
    // A process started, or a known process started running another program.
    void started(const KvProcessEntry &process);
    void ended(quint32 processId);
    // The system dropped events it could not deliver in time.
    void eventsLost();

private:
    bool m_listening;
    QString m_description;
    KvError m_failure;
};
