#include "util/locks.h"

#include <windows.h>

#include "util/text.h"

void* AcquireNamedLock(long number) {
    std::wstring name = mv::Format(L"Lock%ld", number);
    HANDLE ev = CreateEventW(nullptr, FALSE, TRUE, name.c_str());
    if (ev) WaitForSingleObject(ev, INFINITE);
    return ev;
}

void ReleaseNamedLock(void* lock) {
    if (!lock) return;
    SetEvent(static_cast<HANDLE>(lock));
    CloseHandle(static_cast<HANDLE>(lock));
}

NamedLock::NamedLock(long number) : event_(AcquireNamedLock(number)) {}
NamedLock::~NamedLock() { ReleaseNamedLock(event_); }
