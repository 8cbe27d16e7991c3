// The lock shared with other processes, around appends to the log file: a named mutex. An
// owner that dies leaves it abandoned, which the next waiter takes as acquired, and every
// wait for it is bounded.
#pragma once
#include <windows.h>

#include "util/handle.h"

// Scoped cross-process lock over the named mutex `name`, made with the admin-only access list
// (util/named_objects.h). Waits at most `timeoutMs`; an abandoned mutex counts as acquired.
// acquired() is false after a time-out or a failure, and at once when the mutex exists and is
// not checkably ours; then nothing is released.
class CrossProcessLock {
public:
    CrossProcessLock(const wchar_t* name, DWORD timeoutMs);
    ~CrossProcessLock();
    CrossProcessLock(const CrossProcessLock&) = delete;
    CrossProcessLock& operator=(const CrossProcessLock&) = delete;
    bool acquired() const { return acquired_; }

private:
    mv::Handle mutex_;
    bool acquired_ = false;
};
