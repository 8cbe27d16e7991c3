#include "util/named_objects.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

const wchar_t kAdminOnlyObjectSddl[] = L"D:P(A;;GA;;;BA)(A;;GA;;;SY)";

namespace {

bool IsAdminOrSystem(PSID sid) {
    return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid);
}

// This process's default owner of new objects (Administrators in an elevated token).
std::vector<BYTE> OwnDefaultOwner() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    mv::Handle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenOwner, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buf(size);
    if (!GetTokenInformation(token.get(), TokenOwner, buf.data(), size, &size)) return {};
    return buf;
}

}  // namespace

bool AdminOnlyDescriptor(PSECURITY_DESCRIPTOR sd, PSID ownOwner) {
    if (!sd) return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(sd, &owner, &defaulted) || !owner || !IsValidSid(owner)) return false;
    if (!IsAdminOrSystem(owner) && !(ownOwner && IsValidSid(ownOwner) && EqualSid(owner, ownOwner))) return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) || !present || !dacl) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return false;
        const auto* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE) continue;
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if (!IsAdminOrSystem(reinterpret_cast<PSID>(&allowed->SidStart))) return false;
    }
    return true;
}

NamedMutex OpenAdminMutex(const wchar_t* name) {
    NamedMutex m;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdminOnlyObjectSddl, SDDL_REVISION_1, &sd, nullptr)) {
        m.error = GetLastError();
        return m;  // never an object open to everyone instead
    }
    SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
    m.handle.reset(CreateMutexW(&sa, FALSE, name));
    const DWORD error = GetLastError();
    LocalFree(sd);
    if (!m.handle) {
        m.error = error;
        // Denied: someone else's access list keeps us out. Invalid handle: the name belongs to
        // another kind of object. Either way somebody else made it.
        m.how = error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ? NamedMutexOpen::Untrusted
                                                                              : NamedMutexOpen::Failed;
        return m;
    }
    if (error != ERROR_ALREADY_EXISTS) {
        m.how = NamedMutexOpen::Created;
        return m;
    }
    // It existed: our access list was not applied, so look at the one it has.
    PSECURITY_DESCRIPTOR existing = nullptr;
    const DWORD r = GetSecurityInfo(m.handle.get(), SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, nullptr, nullptr, &existing);
    std::vector<BYTE> own = OwnDefaultOwner();
    const PSID ownOwner = own.empty() ? nullptr : reinterpret_cast<TOKEN_OWNER*>(own.data())->Owner;
    const bool ours = r == ERROR_SUCCESS && AdminOnlyDescriptor(existing, ownOwner);
    if (existing) LocalFree(existing);
    if (ours) {
        m.how = NamedMutexOpen::OpenedOurs;
    } else {
        m.handle.reset();
        m.how = NamedMutexOpen::Untrusted;
        m.error = r;
    }
    return m;
}
