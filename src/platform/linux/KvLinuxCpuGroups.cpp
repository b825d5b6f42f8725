#include "platform/linux/KvLinuxCpuGroups.h"

#include "platform/linux/KvLinuxProcFs.h"
#include "platform/linux/KvLinuxProcessIdentity.h"
#include "platform/linux/KvOtherRunsWatch.h"
#include "platform/linux/KvUniqueFd.h"
#include "support/KvLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// How often the job groups are looked over where no fork is reported: a
// child of a capped process runs capped for at most about this long.
const int watchIntervalMs = 1000;

using Process = KvLinuxHoldRecords::Process;

// The group that the governor holds: a number in the backend's table, which
// goes from it when the group is let go of.
class KvLinuxCpuGroup final : public KvCpuGroup
{
public:
    KvLinuxCpuGroup(KvLinuxCpuGroups &backend, int number)
        : backend(backend)
        , number(number)
    {}
    ~KvLinuxCpuGroup() override { backend.groupClosed(number); }

    KvStatus setRate(quint32 rate) override { return backend.setRate(number, rate); }
    KvStatus add(quint32 processId) override { return backend.add(number, {processId}).first(); }
    QList<KvStatus> addAll(const QList<quint32> &processIds) override
    {
        return backend.add(number, processIds);
    }
    KvResult<bool> reaches(quint32 processId) override
    {
        return backend.reaches(number, processId);
    }
    KvStatus setFrozen(bool frozen) override { return backend.setFrozen(number, frozen); }
    KvResult<quint64> timesHeldBack() override { return backend.timesHeldBack(number); }

    int groupNumber() const { return number; }

private:
    KvLinuxCpuGroups &backend;
    const int number;
};

} // namespace

KvLinuxCpuGroups *KvLinuxCpuGroups::instance = nullptr;
int KvLinuxCpuGroups::forkReporters = 0;

KvPlatformCpuGroups *KvPlatformCpuGroups::native()
{
    static KvLinuxCpuGroups groups;
    return &groups;
}

KvLinuxCpuGroups::KvLinuxCpuGroups()
    : records(KvLinuxHoldRecords::shared())
{
    instance = this;
}

KvLinuxCpuGroups::~KvLinuxCpuGroups()
{
    instance = nullptr;
    delete watchTimer.data();
    otherCopies.reset();
    if (!jobs.isEmpty()) {
        KvLinuxHoldRecords::Guard guard(records);
        for (Job &job : jobs) {
            forgetEndedMembers(job);
            job.rate = KvCpuGroup::unlimited; // lets go of every cap
            if (job.frozen && !job.group.isEmpty())
                tree.setFrozen(job.group, false);
            job.frozen = false;
            const Terms terms = termsOf(job);
            for (auto it = job.members.cbegin(); it != job.members.cend(); ++it)
                place(job, it.key(), *it, terms);
            dropGroupIfUnused(job);
        }
    }
    jobs.clear();
    // A process that could be moved nowhere keeps its group, without a quota,
    // until it ends; a later start removes the group.
    for (const QString &group : tree.removeRunDirectory()) {
        QList<pid_t> pids;
        tree.members(group, pids);
        QStringList processes;
        for (pid_t pid : qAsConst(pids))
            processes.append(QStringLiteral("#%1").arg(pid));
        kvWarning(lcGovernor) << "cgroup " << group << " still holds process(es) "
                              << processes.join(QStringLiteral(", "))
                              << " without a CPU limit; a later start removes it";
    }
}

KvResult<std::unique_ptr<KvCpuGroup>> KvLinuxCpuGroups::create(bool shared)
{
    const int number = ++lastJobNumber;
    Job job;
    job.number = number;
    job.breakaway = !shared;
    jobs.insert(number, job);
    return std::unique_ptr<KvCpuGroup>(new KvLinuxCpuGroup(*this, number));
}

KvStatus KvLinuxCpuGroups::setRate(int number, quint32 rate)
{
    auto job = jobs.find(number);
    if (job == jobs.end())
        return KvError::fromErrno(EBADF);
    if (rate < 1 || rate > KvCpuGroup::unlimited)
        return KvError::fromErrno(EINVAL);
    job->rate = rate;
    if (const int error = settle(*job))
        return KvError::fromErrno(error);
    return {};
}

KvStatus KvLinuxCpuGroups::setFrozen(int number, bool frozen)
{
    auto job = jobs.find(number);
    if (job == jobs.end())
        return KvError::fromErrno(EBADF);
    if (!tree.isVersion2())
        return KvError::fromErrno(ENOTSUP);
    job->frozen = frozen;
    // Thawed before the members leave, so that none is left frozen should
    // it stay; frozen once they are in (the group may only be made now).
    if (!frozen && !job->group.isEmpty() && !tree.setFrozen(job->group, false))
        return KvError::fromErrno(errno);
    if (const int error = settle(*job))
        return KvError::fromErrno(error);
    if (frozen && !job->group.isEmpty() && !tree.setFrozen(job->group, true))
        return KvError::fromErrno(errno);
    return {};
}

bool KvLinuxCpuGroups::restrains(const Job &job)
{
    return job.rate < KvCpuGroup::unlimited || job.frozen;
}

void KvLinuxCpuGroups::forgetEndedMembers(Job &job)
{
    for (auto it = job.members.begin(); it != job.members.end();) {
        quint64 stamp = 0;
        if (KvLinuxProcessIdentity::creationStamp(it.key(), stamp) && stamp == it->stamp) {
            ++it;
            continue;
        }
        records.setCap(Process(it.key(), it->stamp), 0, QString());
        it = job.members.erase(it);
    }
}

int KvLinuxCpuGroups::settle(Job &job)
{
    forgetEndedMembers(job);
    int error = 0;
    if (!job.members.isEmpty()) {
        KvLinuxHoldRecords::Guard guard(records);
        // Without its quota the group takes no one in.
        const Terms terms = termsOf(job);
        error = setQuota(job, terms.quota);
        const bool quotaSet = error == 0;
        for (auto it = job.members.cbegin(); quotaSet && it != job.members.cend(); ++it) {
            const int failed = place(job, it.key(), *it, terms);
            error = error ? error : failed;
        }
    }
    dropGroupIfUnused(job);
    updateWatch();
    return error;
}

int KvLinuxCpuGroups::place(Job &job, quint32 processId, const Member &member, const Terms &terms)
{
    // Each failure is the errno of the call that failed, read at once.
    return placed(job, processId, member, terms) ? 0 : errno;
}

KvLinuxCpuGroups::Terms KvLinuxCpuGroups::termsOf(const Job &job)
{
    // The members share the group's quota: one that another copy caps more
    // strictly holds the whole group to that cap.
    Terms terms;
    terms.rate = rateOf(job);
    terms.quota = terms.rate;
    for (auto it = job.members.cbegin(); it != job.members.cend(); ++it)
        terms.quota = strictestOf(terms.quota, records.capsOfOthers(Process(it.key(), it->stamp)));
    return terms;
}

int KvLinuxCpuGroups::setQuota(Job &job, quint32 quota)
{
    // Removed behind our back (it must have been empty): made anew if needed.
    if (!job.group.isEmpty() && ::access(QFile::encodeName(job.group).constData(), F_OK) != 0)
        job.group.clear();
    if (job.group.isEmpty() || !restrains(job))
        return 0;
    return tree.setRate(job.group, quota) ? 0 : errno;
}

bool KvLinuxCpuGroups::holds(const Job &job, quint32 processId, quint64 stamp)
{
    const auto member = job.members.constFind(processId);
    return restrains(job) && member != job.members.constEnd() && member->stamp == stamp;
}

KvLinuxCpuGroups::Job *KvLinuxCpuGroups::jobHolding(quint32 processId, quint64 stamp,
                                                    const Job *except)
{
    Job *found = nullptr;
    for (Job &other : jobs) {
        if (&other != except && holds(other, processId, stamp) && (!found || !other.breakaway))
            found = &other; // a family first: its group keeps what members start
    }
    return found;
}

quint32 KvLinuxCpuGroups::rateOf(const Job &job) const
{
    // A process sits in one group, with the caps of every group of this copy
    // that holds it: a family's quota falls to the stricter cap of a member
    // that another group holds too, while both hold.
    quint32 rate = job.rate;
    for (const Job &other : jobs) {
        if (&other == &job || !restrains(other))
            continue;
        for (auto it = job.members.cbegin(); it != job.members.cend(); ++it) {
            if (holds(other, it.key(), it->stamp))
                rate = std::min(rate, other.rate);
        }
    }
    return rate;
}

bool KvLinuxCpuGroups::placed(Job &job, quint32 processId, const Member &member, const Terms &terms)
{
    const pid_t pid = pid_t(processId);
    const Process process(processId, member.stamp);
    const bool capping = restrains(job);
    // Where this copy keeps it, for a copy that lets go of it to hand it on
    // to: the family together.
    records.setCap(process, capping ? job.rate : 0, member.origin, tree.jobGroupPath(job.number));
    const QString current = tree.groupOf(pid);
    // Held by another group of this copy as well: in a family's group it
    // stays, with this cap in the family's quota; let go of here, the other
    // group takes it.
    if (Job *other = jobHolding(processId, member.stamp, &job)) {
        if (!capping) {
            const Terms otherTerms = termsOf(*other);
            return setQuota(*other, otherTerms.quota) == 0 &&
                   placed(*other, processId, other->members.value(processId), otherTerms);
        }
        if (!other->breakaway && current == other->group)
            return tree.setRate(other->group, termsOf(*other).quota);
    }
    const QList<KvLinuxHoldRecords::Cap> others = records.capsOfOthers(process);
    const quint32 strictest = strictestOf(terms.rate, others);
    const quint32 quota = terms.quota;
    const bool capped = tree.isJobGroup(current);
    const bool ours = tree.isOwnGroup(current);

    if (capping) {
        // In the group of another copy that caps it too, it stays there;
        // this copy's rate goes into that group's quota.
        if (capped && !ours && !others.isEmpty())
            return tree.setRate(current, strictest);
        // The quota of a group that exists is set for all its members at once.
        if (job.group.isEmpty() && !makeGroup(job, quota))
            return false;
        if (current == job.group)
            return true;
        if (!tree.movePid(job.group, pid))
            return false;
    } else if (!capped) {
        // Never capped, or taken out by something else: it stays where it is.
        return true;
    } else if (others.isEmpty()) {
        // The last copy to let go. The quota goes first: the cap is lifted
        // once the process runs without one, whether or not it can leave the
        // group; then back where it came from (or to a leaf that limits
        // nothing), and the group goes once empty.
        if (!tree.setRate(current, KvCpuGroup::unlimited))
            return false;
        tree.moveBack(member.origin, pid);
    } else if (ours) {
        // Handed to a copy that still caps it, so that nothing of it stays in
        // this run's directory.
        if (!handOver(processId, others))
            return false;
    } else {
        // In the group of another copy that caps it: that copy's cap alone.
        return tree.setRate(current, strictest);
    }
    // The group it left goes with it unless something else is in it (the
    // job's own group goes once no member sits in it).
    if (capped && current != job.group) {
        tree.removeGroup(current);
        tree.removeEndedRunOf(current);
    }
    return true;
}

quint32 KvLinuxCpuGroups::strictestOf(quint32 rate, const QList<KvLinuxHoldRecords::Cap> &others)
{
    for (const KvLinuxHoldRecords::Cap &cap : others)
        rate = std::min(rate, cap.rate);
    return rate;
}

bool KvLinuxCpuGroups::handOver(quint32 processId, const QList<KvLinuxHoldRecords::Cap> &others)
{
    const QString group =
        tree.createHandOverGroup(others.first().run, processId, others.first().group);
    return !group.isEmpty() && tree.setRate(group, strictestOf(KvCpuGroup::unlimited, others)) &&
           tree.movePid(group, pid_t(processId));
}

bool KvLinuxCpuGroups::makeGroup(Job &job, quint32 quota)
{
    job.group = tree.createJobGroup(job.number);
    if (!job.group.isEmpty() &&
        (!tree.setRate(job.group, quota) || (job.frozen && !tree.setFrozen(job.group, true)))) {
        const int error = errno; // the caller reports it
        tree.removeGroup(job.group);
        job.group.clear();
        errno = error;
    }
    return !job.group.isEmpty();
}

void KvLinuxCpuGroups::dropGroupIfUnused(Job &job)
{
    if (job.group.isEmpty())
        return;
    QList<pid_t> pids;
    if (!tree.members(job.group, pids)) {
        if (errno == ENOENT)
            job.group.clear(); // removed behind our back
        return;
    }
    // A capped member keeps the group, and so does whatever a family under a
    // shared cap started; once the cap is lifted, a member that could not
    // leave it before is moved again.
    for (pid_t pid : qAsConst(pids)) {
        if (restrains(job) && (!job.breakaway || job.members.contains(quint32(pid))))
            return;
    }
    for (pid_t pid : qAsConst(pids))
        tree.moveBack(originFor(job, quint32(pid)), pid);
    if (tree.removeGroup(job.group))
        job.group.clear();
    else if (!restrains(job))
        tree.setRate(job.group,
                     KvCpuGroup::unlimited); // at least the cap goes; the timer retries the rest
}

KvLinuxCpuGroups::Member KvLinuxCpuGroups::newMember(Job &job, quint32 processId, quint64 stamp,
                                                     QSet<Job *> &left)
{
    // Where the process came from: as this run noted it when it is a member
    // of another of our groups (it leaves that one), as a copy noted it when
    // it sits in a group of the program, else where it is now.
    Member member{stamp, QString()};
    for (Job &other : jobs) {
        auto found = other.members.find(processId);
        if (found == other.members.end() || found->stamp != stamp)
            continue;
        member.origin = found->origin;
        // One cap of its own at a time; a family's and its own go together.
        if (&other != &job && other.breakaway && job.breakaway) {
            other.members.erase(found);
            left.insert(&other);
        }
    }
    const QString current = tree.groupOf(pid_t(processId));
    // Started by a member of a family, it is in the family's group already
    // and comes from where that member came from.
    if (member.origin.isEmpty() && !job.breakaway && current == job.group)
        member.origin = originFor(job, processId);
    if (member.origin.isEmpty())
        member.origin =
            tree.isJobGroup(current) ? records.originOf(Process(processId, stamp)) : current;
    if (member.origin.isEmpty())
        member.origin = tree.top();
    return member;
}

QList<KvStatus> KvLinuxCpuGroups::add(int number, const QList<quint32> &processIds)
{
    QList<KvStatus> results;
    const auto object = jobs.find(number);
    if (object == jobs.end() || !tree.prepare()) {
        const KvError error = KvError::fromErrno(object == jobs.end() ? EBADF : errno);
        for (int i = 0; i < processIds.size(); ++i)
            results.append(error);
        return results;
    }
    // One lock, one quota and one write of the records for all of them: a
    // family of thousands costs about one move per process.
    KvLinuxHoldRecords::Guard guard(records);
    QSet<Job *> left;
    QList<Member> added;
    for (const quint32 processId : processIds) {
        quint64 stamp = 0;
        if (!KvLinuxProcessIdentity::creationStamp(processId, stamp)) {
            results.append(KvError::fromErrno(errno));
            added.append(Member());
            continue;
        }
        added.append(newMember(*object, processId, stamp, left));
        object->members.insert(processId, added.last());
        results.append(KvStatus());
    }
    const Terms terms = termsOf(*object);
    const int quotaFailure = setQuota(*object, terms.quota);
    // Each process is held by a pidfd through its move, so that one that
    // ends meanwhile, and a later one given its id, is told apart; a few
    // hundred at a time, as descriptors are few.
    const int batch = 256;
    for (int first = 0; first < processIds.size(); first += batch) {
        std::vector<std::pair<int, KvUniqueFd>> moved;
        for (int i = first; i < std::min(first + batch, int(processIds.size())); ++i) {
            if (!results.at(i))
                continue;
            KvUniqueFd pidfd(KvLinuxProcessIdentity::openPidfd(processIds.at(i)));
            quint64 stamp = 0;
            int failed = quotaFailure;
            if (!pidfd.isValid() || !KvLinuxProcessIdentity::creationStamp(processIds.at(i), stamp))
                failed = errno;
            else if (stamp != added.at(i).stamp)
                failed = ESRCH;
            else if (!failed)
                failed = place(*object, processIds.at(i), added.at(i), terms);
            if (failed)
                results[i] = KvError::fromErrno(failed);
            else
                moved.emplace_back(i, std::move(pidfd));
        }
        // Moved by id: still running afterwards means it was this process.
        for (const auto &move : moved) {
            if (KvLinuxProcessIdentity::hasExited(move.second.get()))
                results[move.first] = KvError::fromErrno(ESRCH);
        }
    }
    for (int i = 0; i < processIds.size(); ++i) {
        if (results.at(i) || added.at(i).stamp == 0)
            continue;
        object->members.remove(processIds.at(i));
        records.setCap(Process(processIds.at(i), added.at(i).stamp), 0, QString());
    }
    for (Job *job : qAsConst(left))
        dropGroupIfUnused(*job);
    updateWatch();
    return results;
}

KvResult<bool> KvLinuxCpuGroups::reaches(int number, quint32 processId)
{
    const auto object = jobs.constFind(number);
    if (object == jobs.constEnd())
        return KvError::fromErrno(EBADF);
    // The last round of the watch found the group holding its members (the
    // caller tells a later process with the id apart).
    if (object->confirmed.isValid() && !object->confirmed.hasExpired(2 * watchIntervalMs) &&
        object->members.contains(processId))
        return true;
    quint64 stamp = 0;
    if (!KvLinuxProcessIdentity::creationStamp(processId, stamp))
        return KvError::fromErrno(errno);
    const auto member = object->members.constFind(processId);
    return member != object->members.constEnd() && member->stamp == stamp &&
           (!restrains(*object) || tree.isJobGroup(tree.groupOf(pid_t(processId))));
}

KvResult<quint64> KvLinuxCpuGroups::timesHeldBack(int number)
{
    const auto job = jobs.constFind(number);
    if (job == jobs.constEnd())
        return KvError::fromErrno(EBADF);
    // Without a cgroup of its own (uncapped, or kept by a copy that caps it
    // more strictly) nothing of this group holds the members back.
    quint64 times = 0;
    if (!job->group.isEmpty() && !KvCgroupCpuTree::timesHeldBack(job->group, times))
        return KvError::fromErrno(errno);
    return times;
}

KvStatus KvLinuxCpuGroups::copiesShareHolds()
{
    QString reason;
    if (records.shared(reason))
        return {};
    return KvError{0, reason};
}

KvStatus KvLinuxCpuGroups::available()
{
    if (tree.prepare())
        return {};
    return KvError{errno, tree.problem()};
}

QString KvLinuxCpuGroups::cgroupOf(const KvCpuGroup &group) const
{
    const auto *own = dynamic_cast<const KvLinuxCpuGroup *>(&group);
    const auto object = own ? jobs.constFind(own->groupNumber()) : jobs.constEnd();
    return object == jobs.constEnd() ? QString() : object->group;
}

void KvLinuxCpuGroups::groupClosed(int number)
{
    auto found = jobs.find(number);
    if (found == jobs.end())
        return;
    found->referenced = false;
    // Nothing stays frozen by a group no one holds.
    if (found->frozen)
        setFrozen(number, false);
    watchJob(*found);
    updateWatch();
}

void KvLinuxCpuGroups::forkReportsOpened()
{
    ++forkReporters;
    // Whatever started before the reports came is looked for once.
    if (instance)
        instance->watchJobs();
}

void KvLinuxCpuGroups::forkReportsClosed()
{
    --forkReporters;
    if (instance)
        instance->updateWatch();
}

void KvLinuxCpuGroups::forkReportsLost()
{
    if (instance)
        instance->watchJobs();
}

void KvLinuxCpuGroups::processForked(quint32 childId, quint32 parentId)
{
    if (!instance)
        return;
    Q_UNUSED(childId) // it is found in its parent's group, with anything it started since
    for (const Job &job : qAsConst(instance->jobs)) {
        auto member = job.members.constFind(parentId);
        if (!job.breakaway || !restrains(job) || member == job.members.constEnd())
            continue;
        // While the job has a group, its member sits in it (it leaves only
        // for a family's group, which keeps what members start): the child is
        // found there with no look at the parent. The other jobs are looked
        // at still, should the member have ended and its id gone to a
        // process that another job holds.
        if (!job.group.isEmpty()) {
            instance->breakAway(job, job.group);
            continue;
        }
        // Elsewhere (in another copy's group, or handed to this copy by one
        // that let go), it is found where it sits.
        quint64 stamp = 0;
        if (!KvLinuxProcessIdentity::creationStamp(parentId, stamp) || stamp != member->stamp)
            continue;
        const QString group = instance->tree.groupOf(pid_t(parentId));
        if (instance->tree.isJobGroup(group))
            instance->breakAway(job, group);
        return;
    }
}

void KvLinuxCpuGroups::followOtherCopies()
{
    const QList<int> numbers = jobs.keys();
    for (int number : numbers) {
        auto found = jobs.find(number);
        if (found != jobs.end() && restrains(*found) && !found->members.isEmpty())
            settle(*found);
    }
}

void KvLinuxCpuGroups::updateWatch()
{
    // While this copy restrains anything, it follows the other copies: a
    // cap they lift loosens its groups' quotas, and what it holds in a group
    // of a copy that ends comes into its own group within a second.
    const bool restraining = std::any_of(jobs.cbegin(), jobs.cend(), [](const Job &job) {
        return restrains(job) && !job.members.isEmpty();
    });
    if (!restraining)
        otherCopies.reset();
    else if (!otherCopies && !records.directoryPath().isEmpty() && QCoreApplication::instance())
        otherCopies = std::make_unique<KvOtherRunsWatch>(
            records.directoryPath(), records.ownFileName(), [this] { followOtherCopies(); });
    bool needed = false;
    for (const Job &job : qAsConst(jobs)) {
        // Children of capped members are found by looking where no fork is
        // reported; what was left to do at once is retried.
        needed = needed || !job.referenced || (!restrains(job) && !job.group.isEmpty()) ||
                 (forkReporters == 0 && restrains(job) && job.breakaway && !job.members.isEmpty());
    }
    if (needed && !watchTimer && QCoreApplication::instance()) {
        watchTimer = new QTimer(QCoreApplication::instance());
        watchTimer->setInterval(watchIntervalMs);
        QObject::connect(watchTimer.data(), &QTimer::timeout, [this] { watchJobs(); });
    }
    if (!watchTimer)
        return;
    if (needed && !watchTimer->isActive())
        watchTimer->start();
    else if (!needed)
        watchTimer->stop();
}

void KvLinuxCpuGroups::watchJobs()
{
    const QList<int> numbers = jobs.keys();
    for (int number : numbers) {
        auto found = jobs.find(number);
        if (found != jobs.end())
            watchJob(*found);
    }
    updateWatch();
}

void KvLinuxCpuGroups::watchJob(Job &job)
{
    // Most rounds find the group holding its members and nothing else: one
    // read of the group says so, with no look at each member.
    QList<pid_t> inGroup;
    job.confirmed.invalidate();
    if (restrains(job) && job.referenced && !job.group.isEmpty() &&
        tree.members(job.group, inGroup) && inGroup.size() == job.members.size() &&
        std::all_of(inGroup.cbegin(), inGroup.cend(),
                    [&job](pid_t pid) { return job.members.contains(quint32(pid)); })) {
        job.confirmed.start();
        return;
    }
    // A member that sits in a group of the program runs still; the others
    // may have ended.
    QSet<QString> groups;
    bool outside = !restrains(job);
    for (auto it = job.members.cbegin(); restrains(job) && it != job.members.cend(); ++it) {
        const QString group = tree.groupOf(pid_t(it.key()));
        if (tree.isJobGroup(group))
            groups.insert(group);
        else
            outside = true;
    }
    if (outside)
        forgetEndedMembers(job);
    for (const QString &group : qAsConst(groups)) {
        if (job.breakaway)
            breakAway(job, group);
    }
    if (!groups.contains(job.group))
        dropGroupIfUnused(job);
    // Without a handle nothing can cap the members again: the job goes once
    // it restrains nothing any more (its members' caps left the records as
    // the cap was lifted, or as they ended).
    if (!job.referenced && job.group.isEmpty() && (job.members.isEmpty() || !restrains(job))) {
        const int number = job.number; // the key must outlive the entry it removes
        jobs.remove(number);
    }
}

void KvLinuxCpuGroups::breakAway(const Job &job, const QString &group)
{
    // Another copy's group is that copy's to keep together or break up (a
    // family of its own keeps what its members start), and so is a family
    // group of this copy that a member capped alone as well sits in.
    if (!tree.isOwnGroup(group))
        return;
    for (const Job &other : qAsConst(jobs)) {
        if (!other.breakaway && other.group == group)
            return;
    }
    // A member capped alone as well may sit in its family's group, which
    // keeps what the family starts: nothing leaves that group.
    for (const Job &other : qAsConst(jobs)) {
        if (!other.breakaway && other.group == group)
            return;
    }
    // A process moved out may have started another before it went, which is
    // in the group still: rounds until one moves nothing.
    for (int round = 0; round < 8; ++round) {
        QList<pid_t> pids;
        if (!tree.members(group, pids))
            return;
        bool moved = false;
        for (pid_t pid : qAsConst(pids)) {
            if (!job.members.contains(quint32(pid)))
                moved = tree.moveBack(originFor(job, quint32(pid)), pid) || moved;
        }
        if (!moved)
            return;
    }
}

QString KvLinuxCpuGroups::originFor(const Job &job, quint32 processId) const
{
    quint32 current = processId;
    for (int depth = 0; depth < 64 && current > 1; ++depth) {
        auto member = job.members.constFind(current);
        if (member != job.members.constEnd() && current != processId)
            return member->origin;
        KvLinuxProcFs::Stat stat;
        if (!KvLinuxProcFs::readStat(current, stat))
            break;
        current = stat.parentProcessId;
    }
    if (job.members.contains(processId))
        return job.members.value(processId).origin;
    // Orphaned on the way (its parent ended): where the members came from.
    return job.members.isEmpty() ? tree.top() : job.members.cbegin()->origin;
}

KvResult<QList<KvLeftoverGroup>> KvLinuxCpuGroups::removeLeftovers()
{
    KvLinuxHoldRecords::Guard guard(records);
    QList<KvLeftoverGroup> found;
    const QStringList runs = tree.prepare() ? tree.endedRunDirectories() : QStringList();
    for (const QString &run : runs) {
        for (const QString &group : KvCgroupCpuTree::jobGroupsIn(run)) {
            KvLeftoverGroup job;
            job.name = group;
            bool capsHeld = false;
            // A family the killed run suspended: thawed even if some of it
            // cannot leave.
            if (tree.isVersion2())
                tree.setFrozen(group, false);
            QList<pid_t> pids;
            tree.members(group, pids);
            for (pid_t pid : qAsConst(pids)) {
                quint64 stamp = 0;
                if (!KvLinuxProcessIdentity::creationStamp(quint32(pid), stamp))
                    continue; // gone meanwhile
                const Process process(quint32(pid), stamp);
                // A running copy caps it too: it goes to that copy, or stays
                // under that copy's cap here if it cannot.
                const QList<KvLinuxHoldRecords::Cap> others = records.capsOfOthers(process);
                if (!others.isEmpty()) {
                    if (!handOver(quint32(pid), others)) {
                        capsHeld = true;
                        tree.setRate(group, strictestOf(KvCpuGroup::unlimited, others));
                    }
                    continue;
                }
                if (tree.moveBack(records.originOf(process), pid))
                    job.released.append(quint32(pid));
            }
            job.removed = tree.removeGroup(group);
            if (!job.removed) {
                job.error = KvError::fromErrno(errno);
                // Someone could not be moved out: at least the cap goes.
                if (!capsHeld)
                    tree.setRate(group, KvCpuGroup::unlimited);
            }
            found.append(job);
        }
        tree.removeGroup(run);
    }
    // The ended runs' records served for the origins above.
    records.removeEnded();
    tree.removeReleasedGroup(); // once what went there has ended
    return found;
}
