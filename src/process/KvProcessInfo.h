#pragma once

#include "platform/KvProcessEventSource.h"
#include "support/KvFileInfo.h"

#include <QList>
#include <QMetaType>

// One process: its id, its parent's id, when it started and its executable.
class KvProcessInfo
{
public:
    static constexpr quint32 noProcessId = KvProcessEntry::noProcessId;

    KvProcessInfo() = default;
    KvProcessInfo(quint32 processId, quint32 parentProcessId, const KvFileInfo &fileInfo)
        : processId(processId)
        , parentProcessId(parentProcessId)
        , fileInfo(fileInfo)
    {}
    // As the system lists or reports it: the full path where it is known,
    // else the bare name.
    explicit KvProcessInfo(const KvProcessEntry &entry);

    // The running processes as the system lists them now.
    static QList<KvProcessInfo> running();

    // Completes fileInfo with the full path of the running process's
    // executable, where it has no directory yet and the path can be read.
    void resolveFilePath();
    // Whether fileInfo holds a path with a directory, as resolving finds it,
    // rather than a bare name or nothing.
    bool hasResolvedPath() const;

    quint32 processId = noProcessId;
    quint32 parentProcessId = noProcessId;
    KvFileInfo fileInfo;
};

Q_DECLARE_METATYPE(KvProcessInfo)
