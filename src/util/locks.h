// Named locks shared by threads (and processes): an auto-reset event named "Lock<number>",
// created signalled; acquiring waits on it without a time limit, releasing sets it.
// Each user owns its numbers (0xB0001 record list, 0xC0001 log file, 0xF000x remote check, ...).
#pragma once

class NamedLock {
public:
    explicit NamedLock(long number);  // acquires
    ~NamedLock();                     // releases
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;

private:
    void* event_ = nullptr;
};

// Acquire/release pair for code that cannot use the scoped form.
void* AcquireNamedLock(long number);
void ReleaseNamedLock(void* lock);
