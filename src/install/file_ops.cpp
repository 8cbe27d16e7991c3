#include "install/file_ops.h"

#include <windows.h>

#include <mutex>
#include <vector>

#include "notify/log.h"
#include "util/handle.h"
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
    mv::Handle in(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!in) {
        WriteLog(mv::Format(L"CreateFile[%s] failed: %lu", from.c_str(), GetLastError()));
        return false;
    }
    mv::Handle out(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        WriteLog(mv::Format(L"CreateFile[%s] failed: %lu", to.c_str(), GetLastError()));
        return false;
    }
    std::vector<char> buf(1 << 20);
    bool ok = true;
    DWORD error = 0;
    for (;;) {
        DWORD got = 0, put = 0;
        if (!ReadFile(in.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
            ok = false;
            error = GetLastError();
            break;
        }
        if (got == 0) break;
        if (!WriteFile(out.get(), buf.data(), got, &put, nullptr) || put != got) {
            ok = false;
            error = GetLastError();
            break;
        }
    }
    if (ok && !FlushFileBuffers(out.get())) {
        ok = false;
        error = GetLastError();
    }
    out.reset();
    if (!ok) {
        WriteLog(mv::Format(L"copy[%s]to[%s] failed: %lu", from.c_str(), to.c_str(), error));
        DeleteFileW(to.c_str());
        return false;
    }
    NoteFileOperation();
    return true;
}

bool WriteFileAtomically(const std::wstring& path, const std::string& bytes) {
    const std::wstring temp = path + L".tmp";
    DeleteFileW(temp.c_str());
    {
        mv::Handle f(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f) {
            WriteLog(mv::Format(L"CreateFile[%s] failed: %lu", temp.c_str(), GetLastError()));
            return false;
        }
        DWORD put = 0;
        if ((!bytes.empty() &&
             (!WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) || put != bytes.size())) ||
            !FlushFileBuffers(f.get())) {
            WriteLog(mv::Format(L"WriteFile[%s] failed: %lu", temp.c_str(), GetLastError()));
            f.reset();
            DeleteFileW(temp.c_str());
            return false;
        }
    }
    NoteFileOperation();
    if (!RenameFile(temp, path, true)) {
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}
