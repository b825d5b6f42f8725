#pragma once

#include "platform/KvInstallable.h"

#include <QString>

// The process-wide home of the program's value table: a place that every
// module of the process (the executable and any library loaded into it) finds
// by name, so that all of them reach one table although each has statics of
// its own.
//
// On Windows the home is a window class: window classes belong to the whole
// process, and the class's window-procedure field carries the table's
// address. The class is never used to create a window.
class KvPlatformValueTable : public KvInstallable<KvPlatformValueTable>
{
public:
    virtual ~KvPlatformValueTable() = default;

    static KvPlatformValueTable *native();

    // GetClassInfoExW(GetModuleHandleW(NULL), className, &wc) with a zeroed
    // WNDCLASSEXW: true when a class of that name exists in the process, with
    // its lpfnWndProc in address.
    virtual bool getClassInfo(const QString &className, void *&address) = 0;

    // RegisterClassExW with lpszClassName = className, lpfnWndProc = address
    // and every other field zero. False when the class cannot be registered
    // (on Windows also when it exists already).
    virtual bool registerClass(const QString &className, void *address) = 0;

protected:
    KvPlatformValueTable() = default;
};
