#include "util/locks.h"

#include <map>
#include <mutex>

namespace {

// The locks of this process, created on first use and kept to the end: map nodes never move,
// so a lock's address stays valid while others are added.
SRWLOCK* LockFor(long number) {
    static std::mutex guard;
    static std::map<long, SRWLOCK> locks;
    std::lock_guard<std::mutex> hold(guard);
    return &locks.try_emplace(number, SRWLOCK(SRWLOCK_INIT)).first->second;
}

}  // namespace

void AcquireNamedLock(long number) { AcquireSRWLockExclusive(LockFor(number)); }
void ReleaseNamedLock(long number) { ReleaseSRWLockExclusive(LockFor(number)); }

NamedLock::NamedLock(long number) : number_(number) { AcquireNamedLock(number_); }
NamedLock::~NamedLock() { ReleaseNamedLock(number_); }

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
