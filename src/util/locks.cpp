#include "util/locks.h"

#include "util/named_objects.h"

CrossProcessLock::CrossProcessLock(const wchar_t* name, DWORD timeoutMs) {
    NamedMutex m = OpenAdminMutex(name);
    // A mutex somebody else made is not waited for: the caller goes on without the lock.
    if (m.how != NamedMutexOpen::Created && m.how != NamedMutexOpen::OpenedOurs) return;
    mutex_ = std::move(m.handle);
    const DWORD result = WaitForSingleObject(mutex_.get(), timeoutMs);
    // An owner that ended without releasing leaves the mutex to the next waiter.
    acquired_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

CrossProcessLock::~CrossProcessLock() {
    if (acquired_) ReleaseMutex(mutex_.get());
}
