// Named kernel objects of the elevated updater. Each is created with an access list that lets
// only Administrators and SYSTEM in, and one that already exists is used only when it is
// checkably one of ours: otherwise a user who made it first (or holds it) would decide when
// the updater may go on. No named object of the updater is opened by a non-elevated process.
#pragma once
#include <windows.h>

#include "util/handle.h"

// The access list of every named object: protected, generic all to Administrators and SYSTEM.
extern const wchar_t kAdminOnlyObjectSddl[];

// True when `sd` is one we accept on an existing object: its owner is Administrators, SYSTEM
// or `ownOwner` (this process's default owner; may be null), it has an access list (a null
// one lets everybody in), and that list allows access to Administrators and SYSTEM only
// (deny entries are harmless; any other kind of entry is refused).
bool AdminOnlyDescriptor(PSECURITY_DESCRIPTOR sd, PSID ownOwner);

enum class NamedMutexOpen {
    Created,     // new, with the admin-only access list
    OpenedOurs,  // existed, and passes AdminOnlyDescriptor
    Untrusted,   // existed, and fails the check or refused us access (the handle is closed)
    Failed,      // could not be created for another reason
};

struct NamedMutex {
    mv::Handle handle;
    NamedMutexOpen how = NamedMutexOpen::Failed;
    DWORD error = 0;  // the Win32 code behind Untrusted or Failed, when there is one
};

// Creates or opens the mutex `name` (not owned) under kAdminOnlyObjectSddl; see NamedMutexOpen.
NamedMutex OpenAdminMutex(const wchar_t* name);
