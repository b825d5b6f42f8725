#pragma once

#include "platform/KvPlatformJobs.h"

// Job objects and thread control through kernel32.
class KvWindowsJobs : public KvPlatformJobs
{
public:
    HANDLE createJobObject() override;
    bool setInformationJobObject(HANDLE job, const KvJobExtendedLimitInformation &info) override;
    bool setInformationJobObject(HANDLE job, const KvJobCpuRateControlInformation &info) override;
    bool assignProcessToJobObject(HANDLE job, HANDLE process) override;
    bool cpuCapsAvailable(QString &reason) override;
    bool isProcessInJob(HANDLE process, HANDLE job, bool &result) override;
    HANDLE openThread(DWORD access, DWORD threadId) override;
    DWORD suspendThread(HANDLE thread) override;
    DWORD resumeThread(HANDLE thread) override;
    bool getProcessCreationTime(HANDLE process, quint64 &creationTime) override;
    int removeLeftoverJobs(QList<LeftoverJob> *found = nullptr) override;
    LeftoverResume resumeLeftoverSuspension(HANDLE process, DWORD suspensions) override;
};
