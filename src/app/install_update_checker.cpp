#include "app/install_update_checker.h"

namespace {

platform::MutexHandle CreateOwned(const wchar_t* name, bool& alreadyExisted) {
    return platform::CreateNamedMutex(name, true, alreadyExisted);
}

}  // namespace

bool CInstallUpdateChecker::IsUpdaterRunning() {
    bool alreadyExisted = false;
    platform::MutexHandle mutex = CreateOwned(kUpdateMutexName, alreadyExisted);
    if (alreadyExisted || mutex == nullptr) {
        // Another updater holds the name, or the create failed altogether; in the latter case
        // the guard answers that no other updater runs and the updater carries on.
        platform::CloseNamedMutex(mutex);
        return alreadyExisted;
    }
    platform::ReleaseNamedMutex(mutex);
    CloseUpdateMutex();
    updateMutex_ = mutex;
    return false;
}

platform::MutexHandle CInstallUpdateChecker::CreateUpdateMutex() {
    bool alreadyExisted = false;
    CloseUpdateMutex();
    updateMutex_ = CreateOwned(kUpdateMutexName, alreadyExisted);
    return updateMutex_;
}

void CInstallUpdateChecker::CloseUpdateMutex() {
    platform::CloseNamedMutex(updateMutex_);
    updateMutex_ = nullptr;
}

platform::MutexHandle CInstallUpdateChecker::CreateInstallMutex() {
    bool alreadyExisted = false;
    return CreateOwned(kInstallMutexName, alreadyExisted);
}

CInstallUpdateChecker* GetInstallUpdateChecker() {
    static CInstallUpdateChecker* checker = new CInstallUpdateChecker();
    return checker;
}
