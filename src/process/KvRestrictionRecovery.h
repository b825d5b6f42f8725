#pragma once

#include "process/KvRestrictionJournal.h"

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

// Lifts what runs of the program that ended without lifting it left in
// force: at start, what any earlier run left that was killed (journal or
// not: the platform finds a killed run's CPU groups by itself); later, what
// a copy running beside this one held when it was killed, within a few
// seconds. Two copies that find the same leftovers lift them once. The
// journals of copies that still run are theirs.
class KvRestrictionRecovery : public QObject
{
    Q_OBJECT

public:
    // ownJournal: the journal of this run, which is never lifted here once
    // the run has started (at start it can only be a predecessor's in the
    // same process, which is gone).
    explicit KvRestrictionRecovery(const QString &ownJournal, QObject *parent = nullptr);

private:
    void lift(bool atStart);
    void resumeSuspensions(const QList<KvRestrictionJournal::Entry> &entries);
    void removeCaps(const QList<KvRestrictionJournal::Entry> &entries);
    // Whether the run whose journal this is still runs.
    static bool isRunning(const QString &journalName);
    // While other runs have journals, whether they still run is looked at
    // now and then: a copy that is killed changes no file.
    void followOtherRuns();
    void takeOverEndedRuns();

    const QString directory;
    const QString ownName;
    QFileSystemWatcher watcher;
    QTimer endedRunCheck;
};
