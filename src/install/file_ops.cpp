#include "install/file_ops.h"

#include <windows.h>
#include <aclapi.h>

#include <mutex>

#include "notify/log.h"
#include "util/file_replace.h"
#include "util/text.h"

namespace {
std::mutex g_observerMutex;
std::function<void()> g_observer;
}  // namespace

void SetFileOperationObserver(std::function<void()> observer) {
    std::lock_guard<std::mutex> lock(g_observerMutex);
    g_observer = std::move(observer);
}

void NoteFileOperation() {
    std::function<void()> observer;
    {
        std::lock_guard<std::mutex> lock(g_observerMutex);
        observer = g_observer;
    }
    if (observer) observer();
}

bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool RenameFile(const std::wstring& from, const std::wstring& to, bool replace) {
    DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    const bool ok = MoveFileExW(from.c_str(), to.c_str(), flags) != FALSE;
    const DWORD error = GetLastError();
    if (ok) NoteFileOperation();
    else WriteLog(mv::Format(L"MoveFileEx[%s]to[%s] failed: %lu", from.c_str(), to.c_str(), error));
    SetLastError(error);
    return ok;
}

bool DeleteFileNow(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    const bool ok = DeleteFileW(path.c_str()) != FALSE;
    if (ok) NoteFileOperation();
    return ok;
}

bool CopyFileFlushed(const std::wstring& from, const std::wstring& to) {
    std::wstring failure;
    if (!mv::CopyToNewFile(from, to, &failure, true, NoteFileOperation)) {
        WriteLog(failure);
        return false;
    }
    NoteFileOperation();
    return true;
}

bool WriteFileAtomically(const std::wstring& path, const std::string& bytes) {
    std::wstring failure;
    // The complete temporary file is an operation of its own: a kill may come before the rename.
    if (!mv::WriteFileReplacing(path, bytes, &failure, NoteFileOperation)) {
        WriteLog(failure);
        return false;
    }
    NoteFileOperation();
    return true;
}

namespace {

// A file reached through a new name keeps the access list it was made with; the one a file
// created in `path`'s directory would get is put in its place (nothing explicit, everything
// the directory hands down).
bool TakeDirectoryAccess(const std::wstring& path) {
    ACL empty;
    if (!InitializeAcl(&empty, sizeof(empty), ACL_REVISION)) return false;
    std::wstring name = path;
    return SetNamedSecurityInfoW(&name[0], SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, &empty, nullptr) == ERROR_SUCCESS;
}

}  // namespace

bool StageFile(const std::wstring& from, const std::wstring& to, bool link) {
    if (link && CreateHardLinkW(to.c_str(), from.c_str(), nullptr)) {
        if (TakeDirectoryAccess(to)) {
            NoteFileOperation();
            return true;
        }
        DeleteFileW(to.c_str());  // the copy below gets the directory's access by itself
    }
    std::wstring failure;
    if (!mv::CopyToNewFile(from, to, &failure, false, NoteFileOperation)) {
        WriteLog(failure);
        return false;
    }
    NoteFileOperation();
    return true;
}

bool FlushStagedFiles(const std::vector<std::wstring>& paths) {
    std::wstring failure;
    if (mv::FlushFiles(paths, &failure)) return true;
    WriteLog(failure);
    return false;
}
