#pragma once

// The pattern shared by every interface of the platform layer: one current
// backend per interface, which tests replace with the simulated machine and
// production leaves at the native one.
//
// An interface Api derives from KvInstallable<Api> and the native backend
// folder defines
//     Api *Api::native();
// returning a process-lifetime instance (created on first use).
template<class Api> class KvInstallable
{
public:
    // The installed backend, or the native one when none is installed.
    static Api &current()
    {
        Api *installed = slot();
        return installed ? *installed : *Api::native();
    }

    // Makes backend the current one; nullptr returns to the native backend.
    // The caller keeps ownership and uninstalls before destroying it.
    static void install(Api *backend) { slot() = backend; }

protected:
    KvInstallable() = default;
    ~KvInstallable() = default;

private:
    static Api *&slot()
    {
        static Api *installed = nullptr;
        return installed;
    }
};
