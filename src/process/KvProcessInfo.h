#pragma once

#include "platform/KvPlatformTypes.h"
#include "support/KvFileInfo.h"

#include <QMetaType>

// One process: its id, its parent's id and its executable's file
// information. 0xFFFFFFFF in an id means the value is not available.
class KvProcessInfo
{
public:
    static constexpr DWORD noProcessId = 0xFFFFFFFF;

    // Completes fileInfo from processId: the two system pseudo-processes get
    // their names, any other process is opened to ask for its image path.
    void resolveFilePath();
    // Completes fileInfo from an open process handle when the path has no
    // directory yet; a path with a directory is left as it is.
    void resolveFilePath(HANDLE process);

    // Whether fileInfo holds a path with a directory, as resolving finds it,
    // rather than a bare name or nothing.
    bool hasResolvedPath() const;

    DWORD processId = noProcessId;
    DWORD parentProcessId = noProcessId;
    KvFileInfo fileInfo;
};

Q_DECLARE_METATYPE(KvProcessInfo)
