#include "util/locks.h"

CrossProcessLock::CrossProcessLock(const wchar_t* name, DWORD timeoutMs)
    : mutex_(CreateMutexW(nullptr, FALSE, name)) {
    if (!mutex_) return;
    const DWORD result = WaitForSingleObject(mutex_.get(), timeoutMs);
    // An owner that ended without releasing leaves the mutex to the next waiter.
    acquired_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

CrossProcessLock::~CrossProcessLock() {
    if (acquired_) ReleaseMutex(mutex_.get());
}
