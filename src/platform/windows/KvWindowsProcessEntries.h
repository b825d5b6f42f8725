#pragma once

#include "platform/KvProcessEventSource.h"

#include <QHash>
#include <QList>
#include <QPair>
#include <QVariant>

#include <optional>

// What Windows tells of processes, as the program's process entries: the
// Win32_Process instances of WMI's creation and deletion events, and the
// entries of Toolhelp snapshots. Free of the system's headers, so that every
// build compiles and tests it.
class KvWindowsProcessEntries
{
public:
    // The properties of one Win32_Process instance, in WMI's order. Values
    // are an int, text, or invalid (null, or of any other type).
    using Properties = QList<QPair<QString, QVariant>>;

    // The process a creation event names: "Handle" is its id,
    // "ParentProcessId" its parent, "ExecutablePath" its path (else the
    // program of "CommandLine", taken as it is), "Name" its name. None, and a
    // line in the log, when the event carries no id.
    static std::optional<KvProcessEntry> started(const Properties &properties);
    // The process a deletion event names; none when it names none, logged
    // when its "Handle" cannot be read.
    static std::optional<quint32> ended(const Properties &properties);
    // A Toolhelp entry.
    static KvProcessEntry listed(quint32 processId, quint32 parentProcessId,
                                 const QString &exeFile);
    // Whether the entry lacks a path that the process's image gives. The
    // system's two pseudo-processes have no image.
    static bool needsImagePath(const KvProcessEntry &entry);

    // What one snapshot tells beside the last one: the processes that
    // started and the ids that ended. known holds the name and parent of
    // each process of the last snapshot and becomes those of this one. An id
    // that names another executable, or one of another parent, now was ended
    // and given to a new process; one given to the same program by the same
    // parent between two snapshots goes unseen (a snapshot has no start
    // times).
    struct Changes
    {
        QList<KvProcessEntry> started;
        QList<quint32> ended;
    };
    using Seen = QPair<QString, quint32>;
    static Changes compare(QHash<quint32, Seen> &known, const QList<KvProcessEntry> &listed);
};
