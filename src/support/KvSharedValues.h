#pragma once

#include <QHash>
#include <QString>
#include <QVariant>

class KvProcessWideHome;

// The process-wide table of named values. Every module of the process that
// carries this library reaches the same table; it is created by the first
// module that asks, lives until the process ends and is never freed.
// Used on the GUI thread only.

using KvSharedValueTable = QHash<QString, QVariant>;

// The table. Found (or created and published) on the first call of each
// module; later calls return the module's cached pointer.
KvSharedValueTable &sharedValues();

// The value stored under name, or an invalid QVariant.
QVariant sharedValue(const QString &name);

// Stores value under name, replacing what was there.
void setSharedValue(const QString &name, const QVariant &value);

// Finds the table published in home, or creates an empty one and publishes
// it there. What sharedValues() does on its first call; callers
// other than sharedValues() are tests.
KvSharedValueTable *locateSharedValueTable(KvProcessWideHome &home);

// The name under which the table is published.
QString sharedValueTableClassName();
