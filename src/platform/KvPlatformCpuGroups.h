#pragma once

#include "platform/KvResult.h"
#include "support/KvInstallable.h"

#include <QList>
#include <QString>

#include <memory>

// One group of processes under one CPU cap: a job object on Windows, a cgroup
// on Linux. Its processes share the cap. Destroying the group lets go of it:
// on Linux its members go back where they came from and the cgroup goes; on
// Windows the job closes and stays with its members, with whatever rate it
// had last.
class KvCpuGroup
{
public:
    // The whole machine, fully: no cap at all.
    static constexpr quint32 unlimited = 10000;

    virtual ~KvCpuGroup() = default;

    // The cap, in hundredths of a percent of the whole machine's processor
    // time (1 to 10 000): 2 500 is one CPU of four. unlimited lifts it; a
    // lift is done once the members run without a cap.
    virtual KvStatus setRate(quint32 rate) = 0;
    // Puts a running process in the group (a process it started that is in
    // a shared group already is taken as it is). Processes it starts later
    // break away from the group, unless the group was made shared.
    virtual KvStatus add(quint32 processId) = 0;
    // The same for many processes at once, one result each, in order: a
    // family of thousands joins its group in about the time of one move per
    // process.
    virtual QList<KvStatus> addAll(const QList<quint32> &processIds);
    // Whether the group's cap still reaches the member (something else may
    // have moved it out, or removed the group).
    virtual KvResult<bool> reaches(quint32 processId) = 0;
    // Stops every member, and whatever they start, until thawed (Linux:
    // the cgroup v2 freezer). Where the platform has no freezer it fails
    // with ENOTSUP and the members are stopped one by one instead.
    virtual KvStatus setFrozen(bool frozen) = 0;
    // How many times so far the cap held the members back, having used up
    // what it allows: a group whose members press against its cap counts
    // up between two looks, one whose members stay under it does not.
    // Where the platform keeps no such count it fails with ENOTSUP, and only
    // the members' processor time tells how hard they press.
    virtual KvResult<quint64> timesHeldBack();

protected:
    KvCpuGroup() = default;
};

// A group that a killed run of the program left behind, as a later run found
// and removed it.
struct KvLeftoverGroup
{
    // Where it was, for the log (Linux: the cgroup's directory).
    QString name;
    // The processes that left it and run free of its cap now.
    QList<quint32> released;
    // Whether the group is gone; error says why not.
    bool removed = false;
    KvError error;
};

// CPU caps.
//
// Several running copies of the program may cap one process, each in a
// group of its own; the strictest cap holds while they do (Windows nests the
// jobs; Linux keeps the process in the group of the copy that capped it
// first, with the strictest rate as its quota, and hands it on when that
// copy lets go).
class KvPlatformCpuGroups : public KvInstallable<KvPlatformCpuGroups>
{
public:
    virtual ~KvPlatformCpuGroups() = default;

    static KvPlatformCpuGroups *native();

    // A new group without a cap; none where groups cannot be made at all. In
    // a shared group the processes that members start stay in it, at any
    // depth, under the one cap (Linux: cgroup membership is inherited;
    // Windows: a job without the breakaway flag); in any other group they
    // break away.
    virtual KvResult<std::unique_ptr<KvCpuGroup>> create(bool shared = false) = 0;
    // Whether caps can be set on this machine for this user at all; when
    // not, the error's message says why, in words for the log.
    virtual KvStatus available() = 0;
    // Removes what runs of the program that were killed left: every group
    // such a run made is emptied (each process goes back where it came from,
    // unless a running copy still caps it) and removed. Fails where a later
    // run cannot reach them (Windows: a job lives as long as its processes).
    virtual KvResult<QList<KvLeftoverGroup>> removeLeftovers() = 0;
    // Whether the running copies of the program see what each other holds;
    // when not, the error says why, and each copy acts as if it ran alone.
    virtual KvStatus copiesShareHolds() { return {}; }

protected:
    KvPlatformCpuGroups() = default;
};
