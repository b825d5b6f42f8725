#include "platform/windows/KvWindowsProcessEntries.h"

#include "support/KvLog.h"

namespace {

const quint32 systemIdleProcessId = 0;
const quint32 systemProcessId = 4;

// WMI gives process ids as text ("Handle") or as integers, the latter signed
// although the ids are unsigned.
bool toProcessId(const QVariant &value, quint32 &id)
{
    bool ok = false;
    if (value.type() == QVariant::Int) {
        id = static_cast<quint32>(value.toInt(&ok));
        return ok;
    }
    id = value.toString().toUInt(&ok);
    return ok;
}

QString pathFromCommandLine(const QString &commandLine)
{
    if (commandLine.startsWith(QLatin1Char('"'))) {
        const int closing = commandLine.indexOf(QLatin1Char('"'), 1);
        return closing < 0 ? commandLine.mid(1) : commandLine.mid(1, closing - 1);
    }
    // A blank in the very first position is not the separator.
    const int blank = commandLine.indexOf(QLatin1Char(' '), 1);
    return blank < 0 ? commandLine : commandLine.left(blank);
}

// The pseudo-processes go by the names Task Manager gives them.
QString nameOf(quint32 processId, const QString &name)
{
    if (processId == systemIdleProcessId)
        return QStringLiteral("System Idle Process");
    if (processId == systemProcessId && name.isEmpty())
        return QStringLiteral("System");
    return name;
}

} // namespace

std::optional<KvProcessEntry> KvWindowsProcessEntries::started(const Properties &properties)
{
    KvProcessEntry entry;
    QString commandLine;
    bool haveProcessId = false;
    for (const QPair<QString, QVariant> &property : properties) {
        const QVariant &value = property.second;
        if (!value.isValid())
            continue;
        const QString &key = property.first;
        if (key == QLatin1String("CommandLine")) {
            commandLine = value.toString();
        } else if (key == QLatin1String("ExecutablePath")) {
            entry.path = value.toString();
        } else if (key == QLatin1String("Handle")) {
            haveProcessId = toProcessId(value, entry.processId);
        } else if (key == QLatin1String("Name")) {
            entry.name = value.toString();
        } else if (key == QLatin1String("ParentProcessId")) {
            quint32 parent = 0;
            if (toProcessId(value, parent))
                entry.parentProcessId = parent;
        }
    }
    // A start for an id the event did not carry would give the rules a
    // process that does not exist.
    if (!haveProcessId) {
        kvCritical(lcNotifier) << "process creation event without a process id ignored";
        return std::nullopt;
    }
    if (entry.path.isEmpty() && !commandLine.isEmpty())
        entry.path = pathFromCommandLine(commandLine);
    entry.name = nameOf(entry.processId, entry.name);
    return entry;
}

std::optional<quint32> KvWindowsProcessEntries::ended(const Properties &properties)
{
    for (const QPair<QString, QVariant> &property : properties) {
        if (property.first != QLatin1String("Handle") || !property.second.isValid())
            continue;
        quint32 id = 0;
        if (!toProcessId(property.second, id)) {
            kvCritical(lcNotifier) << "process deletion event without a process id ignored";
            return std::nullopt;
        }
        return id;
    }
    return std::nullopt;
}

KvProcessEntry KvWindowsProcessEntries::listed(quint32 processId, quint32 parentProcessId,
                                               const QString &exeFile)
{
    KvProcessEntry entry;
    entry.processId = processId;
    entry.parentProcessId = parentProcessId;
    entry.name = nameOf(processId, exeFile);
    return entry;
}

bool KvWindowsProcessEntries::needsImagePath(const KvProcessEntry &entry)
{
    return entry.path.isEmpty() && entry.processId != systemIdleProcessId &&
           entry.processId != systemProcessId;
}

KvWindowsProcessEntries::Changes
KvWindowsProcessEntries::compare(QHash<quint32, Seen> &known, const QList<KvProcessEntry> &listed)
{
    Changes changes;
    QHash<quint32, Seen> now;
    now.reserve(listed.size());
    for (const KvProcessEntry &entry : listed) {
        const Seen seen{entry.name, entry.parentProcessId};
        now.insert(entry.processId, seen);
        const auto before = known.constFind(entry.processId);
        if (before != known.constEnd() && *before == seen)
            continue;
        if (before != known.constEnd())
            changes.ended.append(entry.processId);
        changes.started.append(entry);
    }
    for (auto it = known.constBegin(); it != known.constEnd(); ++it) {
        if (!now.contains(it.key()))
            changes.ended.append(it.key());
    }
    known.swap(now);
    return changes;
}
