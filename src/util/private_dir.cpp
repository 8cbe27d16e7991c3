#include "util/private_dir.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include "util/text.h"

namespace mv {

const wchar_t kProtectedDirSddl[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";

bool RunsElevated() { return IsUserAnAdmin() != FALSE; }

namespace {

// The owner of a file or directory, copied out; false when it cannot be read.
bool OwnerOf(const std::wstring& path, std::string& sid) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
        return false;
    const bool ok = owner && IsValidSid(owner);
    if (ok) sid.assign(static_cast<const char*>(owner), GetLengthSid(owner));
    LocalFree(sd);
    return ok;
}

bool IsWellKnown(const std::string& sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(known);
    return CreateWellKnownSid(type, nullptr, known, &size) &&
           EqualSid(const_cast<char*>(sid.data()), known);
}

bool OwnerTrusted(const std::wstring& path) {
    std::string owner, system;
    if (!OwnerOf(path, owner)) return false;
    if (IsWellKnown(owner, WinBuiltinAdministratorsSid) || IsWellKnown(owner, WinLocalSystemSid)) return true;
    // The system directory's owner (TrustedInstaller on Windows; under Wine every file's).
    wchar_t windows[MAX_PATH] = {};
    return GetSystemDirectoryW(windows, MAX_PATH) && OwnerOf(windows, system) && owner == system;
}

std::wstring ProgramDataDir() {
    wchar_t buf[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buf)) && buf[0]) return buf;
    const DWORD n = GetEnvironmentVariableW(L"ProgramData", buf, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(buf) : std::wstring();
}

}  // namespace

std::wstring PrivateDirProblem(const FoundDir& found) {
    if (found.attributes == INVALID_FILE_ATTRIBUTES) return {};
    if (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) return L"it is a link";
    if (!(found.attributes & FILE_ATTRIBUTE_DIRECTORY)) return L"it is not a directory";
    if (!found.ownerTrusted) return L"its owner is neither Administrators nor SYSTEM";
    return {};
}

std::wstring PrivateWorkDir(std::wstring& why) {
    why.clear();
    const std::wstring base = ProgramDataDir();
    if (base.empty()) {
        why = L"the common application data directory is unknown";
        return {};
    }
    const std::wstring dir = ReduceBackslashes(base + L"\\Mirovane");
    FoundDir found;
    found.attributes = GetFileAttributesW(dir.c_str());
    if (found.attributes == INVALID_FILE_ATTRIBUTES) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedDirSddl, SDDL_REVISION_1, &sd, nullptr)) {
            why = Format(L"ConvertStringSecurityDescriptorToSecurityDescriptor failed (%lu)", GetLastError());
            return {};
        }
        SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
        const bool made = CreateDirectoryW(dir.c_str(), &sa) != FALSE;
        const DWORD error = GetLastError();
        LocalFree(sd);
        if (!made && error != ERROR_ALREADY_EXISTS) {
            why = Format(L"CreateDirectory [%s] failed (%lu)", dir.c_str(), error);
            return {};
        }
        // Whatever is there now (ours, or one that raced us) is judged like any other.
        found.attributes = GetFileAttributesW(dir.c_str());
        if (found.attributes == INVALID_FILE_ATTRIBUTES) {
            why = Format(L"[%s] cannot be read after it was made (%lu)", dir.c_str(), GetLastError());
            return {};
        }
    }
    found.ownerTrusted = !(found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) && OwnerTrusted(dir);
    const std::wstring problem = PrivateDirProblem(found);
    if (!problem.empty()) {
        why = dir + L": " + problem;
        return {};
    }
    return dir + L"\\";
}

}  // namespace mv
