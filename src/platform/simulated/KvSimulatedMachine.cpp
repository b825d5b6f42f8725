#include "platform/simulated/KvSimulatedMachine.h"

#include "platform/common/KvVersionResource.h"

#include <QFile>

#include <vector>

namespace {

const DWORD errorFileNotFound = 2;
const DWORD errorAccessDenied = 5;
const DWORD errorInvalidHandle = 6;
const DWORD errorNoMoreFiles = 18;
const DWORD errorGenFailure = 31;
const DWORD errorInvalidParameter = 87;

HANDLE const currentProcessPseudoHandle = reinterpret_cast<HANDLE>(static_cast<quintptr>(-1));

QString hex(DWORD value)
{
    return QStringLiteral("0x%1").arg(value, 0, 16);
}

} // namespace

class KvSimulatedMachine::Snapshot : public KvSimulatedObject
{
public:
    QString describe() const override { return QStringLiteral("snapshot"); }

    std::vector<KvProcessEntry> processes;
    std::vector<KvThreadEntry> threads;
    size_t processCursor = 0;
    size_t threadCursor = 0;
};

KvSimulatedMachine::KvSimulatedMachine() = default;

KvSimulatedMachine::~KvSimulatedMachine()
{
    // A test that forgot to uninstall must not leave a dangling backend.
    if (&KvPlatformKernel::current() == static_cast<KvPlatformKernel *>(this))
        KvPlatformKernel::install(nullptr);
    if (&KvPlatformVersion::current() == static_cast<KvPlatformVersion *>(this))
        KvPlatformVersion::install(nullptr);
}

void KvSimulatedMachine::installAsCurrent()
{
    KvPlatformKernel::install(this);
    KvPlatformVersion::install(this);
}

void KvSimulatedMachine::uninstall()
{
    KvPlatformKernel::install(nullptr);
    KvPlatformVersion::install(nullptr);
}

// ---- processes and threads

DWORD KvSimulatedMachine::freshId()
{
    while (processes.count(nextId) || threads.count(nextId))
        nextId += 4;
    const DWORD id = nextId;
    nextId += 4;
    return id;
}

DWORD KvSimulatedMachine::addProcess(const QString &imagePath, DWORD parentProcessId,
                                     int threadCount)
{
    const DWORD id = freshId();
    addProcessWithId(id, imagePath, parentProcessId, threadCount);
    return id;
}

KvSimulatedProcess &KvSimulatedMachine::addProcessWithId(DWORD processId, const QString &imagePath,
                                                         DWORD parentProcessId, int threadCount)
{
    removeProcess(processId);
    KvSimulatedProcess &process = processes[processId];
    process.processId = processId;
    process.parentProcessId = parentProcessId;
    process.imagePath = imagePath;
    const int separator =
        qMax(imagePath.lastIndexOf(QLatin1Char('/')), imagePath.lastIndexOf(QLatin1Char('\\')));
    process.exeFile = imagePath.mid(separator + 1);
    process.startTime = clock++;
    process.serial = nextSerial++;
    for (int i = 0; i < threadCount; ++i)
        addThread(processId);
    return process;
}

bool KvSimulatedMachine::removeProcess(DWORD processId)
{
    if (!processes.erase(processId))
        return false;
    for (auto it = threads.begin(); it != threads.end();) {
        if (it->second.ownerProcessId == processId)
            it = threads.erase(it);
        else
            ++it;
    }
    return true;
}

KvSimulatedProcess *KvSimulatedMachine::process(DWORD processId)
{
    auto it = processes.find(processId);
    return it == processes.end() ? nullptr : &it->second;
}

KvSimulatedProcess *KvSimulatedMachine::processOf(HANDLE handle)
{
    if (handle == currentProcessPseudoHandle)
        return process(currentId);
    const auto *object = resolveHandle<KvSimulatedProcessHandle>(handle);
    if (!object)
        return nullptr;
    KvSimulatedProcess *found = process(object->processId);
    return found && found->serial == object->serial ? found : nullptr;
}

QList<DWORD> KvSimulatedMachine::processIds() const
{
    QList<DWORD> ids;
    for (const auto &entry : processes)
        ids.append(entry.first);
    return ids;
}

DWORD KvSimulatedMachine::addThread(DWORD processId, LONG basePriority)
{
    const DWORD id = freshId();
    threads[id] = KvSimulatedThread{id, processId, basePriority};
    return id;
}

bool KvSimulatedMachine::removeThread(DWORD threadId)
{
    return threads.erase(threadId) > 0;
}

KvSimulatedThread *KvSimulatedMachine::thread(DWORD threadId)
{
    auto it = threads.find(threadId);
    return it == threads.end() ? nullptr : &it->second;
}

QList<DWORD> KvSimulatedMachine::threadIdsOf(DWORD processId) const
{
    QList<DWORD> ids;
    for (const auto &entry : threads) {
        if (entry.second.ownerProcessId == processId)
            ids.append(entry.first);
    }
    return ids;
}

void KvSimulatedMachine::setCurrentProcessId(DWORD processId)
{
    currentId = processId;
}

// ---- files

void KvSimulatedMachine::setVersionBlock(const QString &path, const QByteArray &block)
{
    versionBlocks.insert(path, block);
}

void KvSimulatedMachine::removeVersionBlock(const QString &path)
{
    versionBlocks.remove(path);
}

// ---- failures

void KvSimulatedMachine::failOpenProcess(DWORD processId, DWORD errorCode)
{
    openProcessFailures.set(processId, errorCode);
}

void KvSimulatedMachine::failQueryImageName(DWORD processId, DWORD errorCode)
{
    queryImageNameFailures.set(processId, errorCode);
}

void KvSimulatedMachine::failGetFileVersionInfo(const QString &path, DWORD errorCode)
{
    versionInfoFailures.set(path, errorCode);
}

void KvSimulatedMachine::failSnapshots(DWORD errorCode)
{
    snapshotFailure = errorCode;
}

void KvSimulatedMachine::clearFailures()
{
    openProcessFailures.clear();
    queryImageNameFailures.clear();
    versionInfoFailures.clear();
    snapshotFailure = 0;
}

bool KvSimulatedMachine::fail(DWORD errorCode)
{
    error = errorCode;
    return false;
}

// ---- handles

HANDLE KvSimulatedMachine::registerHandle(std::shared_ptr<KvSimulatedObject> object)
{
    const quintptr value = nextHandle;
    nextHandle += 4;
    handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

KvSimulatedObject *KvSimulatedMachine::handleObject(HANDLE handle) const
{
    auto it = handles.find(reinterpret_cast<quintptr>(handle));
    return it == handles.end() ? nullptr : it->second.get();
}

int KvSimulatedMachine::openHandleCount() const
{
    return int(handles.size());
}

// ---- call record

QStringList KvSimulatedMachine::calls() const
{
    return callRecord;
}

void KvSimulatedMachine::clearCalls()
{
    callRecord.clear();
}

void KvSimulatedMachine::recordCall(const QString &call)
{
    callRecord.append(call);
    if (callObserver)
        callObserver(call);
}

void KvSimulatedMachine::setCallObserver(std::function<void(const QString &call)> observer)
{
    callObserver = std::move(observer);
}

// ---- KvPlatformKernel

DWORD KvSimulatedMachine::lastError() const
{
    return error;
}

void KvSimulatedMachine::setLastError(DWORD code)
{
    error = code;
}

bool KvSimulatedMachine::closeHandle(HANDLE handle)
{
    if (handle == currentProcessPseudoHandle) {
        recordCall(QStringLiteral("CloseHandle(current process)"));
        return true;
    }
    auto it = handles.find(reinterpret_cast<quintptr>(handle));
    if (it == handles.end()) {
        recordCall(QStringLiteral("CloseHandle(unknown)"));
        return fail(errorInvalidHandle);
    }
    recordCall(QStringLiteral("CloseHandle(%1)").arg(it->second->describe()));
    // Released after the erase: a closing object may close further handles.
    std::shared_ptr<KvSimulatedObject> closing = std::move(it->second);
    handles.erase(it);
    return true;
}

DWORD KvSimulatedMachine::currentProcessId() const
{
    return currentId;
}

HANDLE KvSimulatedMachine::currentProcess()
{
    return currentProcessPseudoHandle;
}

DWORD KvSimulatedMachine::processIdOf(HANDLE handle)
{
    if (handle == currentProcessPseudoHandle)
        return currentId;
    const auto *object = resolveHandle<KvSimulatedProcessHandle>(handle);
    if (!object) {
        fail(errorInvalidHandle);
        return 0;
    }
    return object->processId;
}

HANDLE KvSimulatedMachine::openProcess(DWORD access, DWORD processId)
{
    recordCall(QStringLiteral("OpenProcess(%1, %2)").arg(hex(access)).arg(processId));
    if (const DWORD injected = openProcessFailures.code(processId, anyProcess)) {
        fail(injected);
        return nullptr;
    }
    const KvSimulatedProcess *found = process(processId);
    if (!found) {
        fail(errorInvalidParameter);
        return nullptr;
    }
    return registerHandle(
        std::make_shared<KvSimulatedProcessHandle>(processId, found->serial, access));
}

bool KvSimulatedMachine::queryFullProcessImageName(HANDLE handle, QString &path)
{
    const DWORD id = processIdOf(handle);
    recordCall(QStringLiteral("QueryFullProcessImageNameW(%1)").arg(id));
    if (handle != currentProcessPseudoHandle && !handleObject(handle))
        return fail(errorInvalidHandle);
    if (const DWORD injected = queryImageNameFailures.code(id, anyProcess))
        return fail(injected);
    const KvSimulatedProcess *found = processOf(handle);
    if (!found || found->imagePath.isEmpty())
        return fail(errorGenFailure);
    path = found->imagePath;
    return true;
}

bool KvSimulatedMachine::moveFileEx(const QString &existing, const QString &newName, DWORD flags)
{
    recordCall(QStringLiteral("MoveFileExW(%1, %2, %3)").arg(existing, newName).arg(flags));
    if (flags & ~DWORD(MoveFileReplaceExisting))
        return fail(errorInvalidParameter);
    // The files are real; replacing here takes two steps, which no test
    // tells from one.
    if ((flags & MoveFileReplaceExisting) && QFile::exists(newName) && !QFile::remove(newName))
        return fail(errorAccessDenied);
    return QFile::rename(existing, newName) || fail(errorFileNotFound);
}

HANDLE KvSimulatedMachine::createToolhelp32Snapshot(DWORD flags)
{
    recordCall(QStringLiteral("CreateToolhelp32Snapshot(%1)").arg(hex(flags)));
    if (snapshotFailure) {
        fail(snapshotFailure);
        return INVALID_HANDLE_VALUE;
    }
    auto snapshot = std::make_shared<Snapshot>();
    if (flags & SnapProcess) {
        for (const auto &entry : processes) {
            const KvSimulatedProcess &process = entry.second;
            snapshot->processes.push_back(
                KvProcessEntry{process.processId, process.parentProcessId, process.exeFile});
        }
    }
    if (flags & SnapThread) {
        for (const auto &entry : threads) {
            const KvSimulatedThread &thread = entry.second;
            snapshot->threads.push_back(
                KvThreadEntry{thread.threadId, thread.ownerProcessId, thread.basePriority});
        }
    }
    return registerHandle(snapshot);
}

bool KvSimulatedMachine::process32First(HANDLE handle, KvProcessEntry &entry)
{
    if (auto *snapshot = resolveHandle<Snapshot>(handle))
        snapshot->processCursor = 0;
    return process32Next(handle, entry);
}

bool KvSimulatedMachine::process32Next(HANDLE handle, KvProcessEntry &entry)
{
    auto *snapshot = resolveHandle<Snapshot>(handle);
    if (!snapshot)
        return fail(errorInvalidHandle);
    if (snapshot->processCursor >= snapshot->processes.size())
        return fail(errorNoMoreFiles);
    entry = snapshot->processes[snapshot->processCursor++];
    return true;
}

bool KvSimulatedMachine::thread32First(HANDLE handle, KvThreadEntry &entry)
{
    if (auto *snapshot = resolveHandle<Snapshot>(handle))
        snapshot->threadCursor = 0;
    return thread32Next(handle, entry);
}

bool KvSimulatedMachine::thread32Next(HANDLE handle, KvThreadEntry &entry)
{
    auto *snapshot = resolveHandle<Snapshot>(handle);
    if (!snapshot)
        return fail(errorInvalidHandle);
    if (snapshot->threadCursor >= snapshot->threads.size())
        return fail(errorNoMoreFiles);
    entry = snapshot->threads[snapshot->threadCursor++];
    return true;
}

// ---- KvPlatformVersion

KvFileInfo KvSimulatedMachine::fileInfo(const QString &path)
{
    recordCall(QStringLiteral("GetFileVersionInfoW(%1)").arg(path));
    KvFileInfo info(path);
    auto it = versionBlocks.constFind(path);
    if (it != versionBlocks.constEnd() && !versionInfoFailures.code(path)) {
        const QByteArray block = *it;
        KvVersionResource::describe(
            [&block](const QString &subBlock, QByteArray &value) {
                return KvVersionResource::queryValue(block, subBlock, value);
            },
            info);
    }
    return info;
}
