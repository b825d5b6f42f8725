#pragma once

#include "platform/KvPlatformKernel.h"
#include "platform/KvPlatformVersion.h"
#include "platform/simulated/KvInjectedFailures.h"

#include <QHash>
#include <QList>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>

// Anything the simulated machine hands out as a HANDLE. Other simulated
// backends (jobs, threads) derive their own handle objects from it and
// register them with the machine, so that closeHandle closes them all.
class KvSimulatedObject
{
public:
    virtual ~KvSimulatedObject() = default;
    // How the call record names the object, e.g. "process 1234".
    virtual QString describe() const { return QStringLiteral("object"); }
};

struct KvSimulatedThread
{
    DWORD threadId = 0;
    DWORD ownerProcessId = 0;
    LONG basePriority = 8;
};

struct KvSimulatedProcess
{
    DWORD processId = 0;
    DWORD parentProcessId = 0;
    // The bare name a snapshot shows.
    QString exeFile;
    // What QueryFullProcessImageNameW returns; empty makes the query fail.
    QString imagePath;
    quint64 startTime = 0;
    // Unique over the machine's life: tells a process from a later one that
    // was given the same id.
    quint64 serial = 0;
};

// A process handle of the simulated machine.
class KvSimulatedProcessHandle : public KvSimulatedObject
{
public:
    KvSimulatedProcessHandle(DWORD processId, quint64 serial, DWORD access)
        : processId(processId)
        , serial(serial)
        , access(access)
    {}
    QString describe() const override { return QStringLiteral("process %1").arg(processId); }

    const DWORD processId;
    const quint64 serial;
    const DWORD access;
};

// An in-memory machine for tests: processes with threads, files with
// version resources, failures injected with error codes, and a record of
// the calls made to it. Error codes are Windows' (5 access denied, 6 invalid
// handle, 87 invalid parameter, ...).
//
//     KvSimulatedMachine machine;
//     machine.installAsCurrent();
//     const DWORD id = machine.addProcess("C:/Games/game.exe", 4, 3);
//     ...
//     machine.uninstall();
class KvSimulatedMachine : public KvPlatformKernel, public KvPlatformVersion
{
public:
    // Process id meaning "every process" for the failure injectors.
    static constexpr DWORD anyProcess = 0xFFFFFFFF;

    KvSimulatedMachine();
    ~KvSimulatedMachine() override;

    // Makes this machine the current kernel and version backend; uninstall
    // returns both to the native ones.
    void installAsCurrent();
    void uninstall();

    // ---- processes and threads
    // A new process with a fresh id, its exe name taken from imagePath
    // (either separator), and threadCount threads. Returns its id.
    DWORD addProcess(const QString &imagePath, DWORD parentProcessId = 0, int threadCount = 1);
    // The same with a chosen id; an existing process with that id ends first.
    KvSimulatedProcess &addProcessWithId(DWORD processId, const QString &imagePath,
                                         DWORD parentProcessId = 0, int threadCount = 1);
    // Ends a process and its threads. Open handles to it stay open but no
    // longer reach any process.
    bool removeProcess(DWORD processId);
    KvSimulatedProcess *process(DWORD processId);
    // The process an open process handle refers to, or nullptr if the handle
    // is no process handle or that process has ended.
    KvSimulatedProcess *processOf(HANDLE process);
    QList<DWORD> processIds() const;

    DWORD addThread(DWORD processId, LONG basePriority = 8);
    bool removeThread(DWORD threadId);
    KvSimulatedThread *thread(DWORD threadId);
    QList<DWORD> threadIdsOf(DWORD processId) const;

    void setCurrentProcessId(DWORD processId);

    // ---- files
    void setVersionBlock(const QString &path, const QByteArray &block);
    void removeVersionBlock(const QString &path);

    // ---- failures (error code 0 removes the failure)
    void failOpenProcess(DWORD processId, DWORD errorCode);
    void failQueryImageName(DWORD processId, DWORD errorCode);
    void failGetFileVersionInfo(const QString &path, DWORD errorCode);
    void failSnapshots(DWORD errorCode);
    void clearFailures();

    // ---- handles
    HANDLE registerHandle(std::shared_ptr<KvSimulatedObject> object);
    KvSimulatedObject *handleObject(HANDLE handle) const;
    template<class T> T *resolveHandle(HANDLE handle) const
    {
        return dynamic_cast<T *>(handleObject(handle));
    }
    int openHandleCount() const;

    // ---- call record: one line per call, e.g. "OpenProcess(0x1000, 1234)",
    // "QueryFullProcessImageNameW(1234)", "CloseHandle(process 1234)".
    QStringList calls() const;
    void clearCalls();
    void recordCall(const QString &call);
    // Called with each line as it is recorded, before the call has any
    // effect: lets a test look at the world as a call finds it. Empty
    // function: no observer.
    void setCallObserver(std::function<void(const QString &call)> observer);

    // ---- KvPlatformKernel
    DWORD lastError() const override;
    void setLastError(DWORD code) override;
    bool closeHandle(HANDLE handle) override;
    DWORD currentProcessId() const override;
    HANDLE currentProcess() override;
    DWORD processIdOf(HANDLE process) override;
    HANDLE openProcess(DWORD access, DWORD processId) override;
    bool queryFullProcessImageName(HANDLE process, QString &path) override;
    bool moveFileEx(const QString &existing, const QString &newName, DWORD flags) override;
    HANDLE createToolhelp32Snapshot(DWORD flags) override;
    bool process32First(HANDLE snapshot, KvProcessEntry &entry) override;
    bool process32Next(HANDLE snapshot, KvProcessEntry &entry) override;
    bool thread32First(HANDLE snapshot, KvThreadEntry &entry) override;
    bool thread32Next(HANDLE snapshot, KvThreadEntry &entry) override;

    // ---- KvPlatformVersion
    KvFileInfo fileInfo(const QString &path) override;

private:
    class Snapshot;

    DWORD freshId();
    bool fail(DWORD errorCode);

    std::map<DWORD, KvSimulatedProcess> processes;
    std::map<DWORD, KvSimulatedThread> threads;
    std::map<quintptr, std::shared_ptr<KvSimulatedObject>> handles;
    QHash<QString, QByteArray> versionBlocks;
    KvInjectedFailures<DWORD> openProcessFailures;
    KvInjectedFailures<DWORD> queryImageNameFailures;
    KvInjectedFailures<QString> versionInfoFailures;
    DWORD snapshotFailure = 0;
    QStringList callRecord;
    std::function<void(const QString &)> callObserver;
    DWORD error = 0;
    DWORD currentId = 8;
    DWORD nextId = 1000;
    quint64 nextSerial = 1;
    quint64 clock = 1;
    quintptr nextHandle = 0x100;
};
