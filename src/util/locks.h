// Locks. Threads of this process share state under in-process locks keyed by number, each
// user owning its numbers (see LockId). The one lock shared with other processes, around
// appends to the log file, is a named mutex: an owner that dies leaves it abandoned, which
// the next waiter takes as acquired, and every wait for it is bounded.
#pragma once
#include <windows.h>

#include "util/handle.h"

// Lock numbers, one per piece of shared state.
enum LockId : long {
    kRecordListLock = 0xB0001,  // appending records to a record array
};

// Scoped in-process lock: waits (without a time limit) for the lock of `number` and releases
// it on destruction. Not recursive: no lock is taken while another is held.
class NamedLock {
public:
    explicit NamedLock(long number);
    ~NamedLock();
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

private:
    long number_;
};

// Acquire/release pair for code that cannot use the scoped form; same thread for both.
void AcquireNamedLock(long number);
void ReleaseNamedLock(long number);

// Scoped cross-process lock over the named mutex `name`. Waits at most `timeoutMs`; an
// abandoned mutex counts as acquired. acquired() is false after a time-out or a failure, and
// then nothing is released.
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
