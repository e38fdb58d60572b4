// The single-instance guard: the update mutex exists while an updater runs, the install mutex
// while an install pass runs.
#pragma once

#include "platform/named_mutex.h"

class CInstallUpdateChecker {
  public:
    virtual ~CInstallUpdateChecker() = default;

    // Whether another updater holds the update mutex. When none does, the handle of the test is
    // kept open (unowned) instead of being closed and created again, so that two updaters started
    // at the same instant cannot both pass.
    bool IsUpdaterRunning();

    // Creates (or opens) the update mutex with initial ownership and keeps the handle.
    platform::MutexHandle CreateUpdateMutex();
    void CloseUpdateMutex();

    // Creates (or opens) the install mutex with initial ownership; the caller closes it.
    platform::MutexHandle CreateInstallMutex();

  private:
    platform::MutexHandle updateMutex_ = nullptr;
};

CInstallUpdateChecker* GetInstallUpdateChecker();

inline constexpr wchar_t kUpdateMutexName[] = L"PallatonUpdateMutex";
inline constexpr wchar_t kInstallMutexName[] = L"PallatonUpdateMutexInstall";
