#include "util/file_replace.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "util/handle.h"
#include "util/text.h"

namespace mv {

namespace {

std::atomic<unsigned long> g_tempCounter{0};

// Large writes go in pieces: WriteFile takes a DWORD, and one enormous transfer can fail
// where pieces would not.
constexpr DWORD kPieceBytes = 1 << 20;

bool Fail(std::wstring* failure, const wchar_t* call, const std::wstring& path) {
    const DWORD error = GetLastError();
    if (failure) *failure = Format(L"%s[%s] failed: %lu", call, path.c_str(), error);
    SetLastError(error);
    return false;
}

// Deletes `path` without disturbing the error that made the caller give up.
void DeleteKeepingError(const std::wstring& path) {
    const DWORD error = GetLastError();
    DeleteFileW(path.c_str());
    SetLastError(error);
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
    size_t done = 0;
    while (done < size) {
        const DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, kPieceBytes));
        DWORD put = 0;
        if (!WriteFile(file, data + done, piece, &put, nullptr)) return false;
        if (put != piece) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        done += put;
    }
    return true;
}

bool RenameOver(const std::wstring& temp, const std::wstring& path, std::wstring* failure) {
    if (MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    if (failure) *failure = Format(L"MoveFileEx[%s]to[%s] failed: %lu", temp.c_str(), path.c_str(), error);
    DeleteFileW(temp.c_str());
    SetLastError(error);
    return false;
}

}  // namespace

std::wstring PrivateTempNameBeside(const std::wstring& path, const wchar_t* what) {
    return Format(L"%s.%s-%lu-%lu.tmp", path.c_str(), what, GetCurrentProcessId(), ++g_tempCounter);
}

bool IsPrivateTempNameOf(const std::wstring& name, const std::wstring& path) {
    const std::wstring n = ToLower(name), p = ToLower(path) + L".";
    if (n.size() <= p.size() + 4 || n.compare(0, p.size(), p) != 0 || n.compare(n.size() - 4, 4, L".tmp") != 0)
        return false;
    // <what>-<digits>-<digits>, where `what` has no separator of its own.
    const std::wstring middle = n.substr(p.size(), n.size() - p.size() - 4);
    const size_t second = middle.rfind(L'-');
    if (second == std::wstring::npos || second == 0) return false;
    const size_t first = middle.rfind(L'-', second - 1);
    if (first == std::wstring::npos || first == 0) return false;
    const std::wstring pid = middle.substr(first + 1, second - first - 1), count = middle.substr(second + 1);
    const auto digits = [](const std::wstring& s) {
        return !s.empty() && s.find_first_not_of(L"0123456789") == std::wstring::npos;
    };
    return digits(pid) && digits(count) && middle.find_first_of(L"\\/.") == std::wstring::npos;
}

int RemoveLeftTempNames(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    const std::wstring dir = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
    WIN32_FIND_DATAW found{};
    FindHandle find(FindFirstFileW((path + L".*.tmp").c_str(), &found));
    if (!find) return 0;
    int removed = 0;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring name = dir + found.cFileName;
        if (!IsPrivateTempNameOf(name, path)) continue;
        SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (DeleteFileW(name.c_str())) ++removed;
    } while (FindNextFileW(find.get(), &found));
    return removed;
}

bool CopyToNewFile(const std::wstring& from, const std::wstring& to, std::wstring* failure, bool flush,
                   const std::function<void()>& piece) {
    Handle in(CreateFileW(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!in) return Fail(failure, L"CreateFile", from);
    Handle out(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return Fail(failure, L"CreateFile", to);
    std::vector<char> buf(kPieceBytes);
    for (bool first = true;; first = false) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buf.data(), static_cast<DWORD>(buf.size()), &got, nullptr)) {
            Fail(failure, L"ReadFile", from);
            out.reset();
            DeleteKeepingError(to);
            return false;
        }
        if (got == 0) break;
        if (!first && piece) piece();
        if (!WriteAll(out.get(), buf.data(), got)) {
            Fail(failure, L"WriteFile", to);
            out.reset();
            DeleteKeepingError(to);
            return false;
        }
    }
    if (flush && !FlushFileBuffers(out.get())) {
        Fail(failure, L"FlushFileBuffers", to);
        out.reset();
        DeleteKeepingError(to);
        return false;
    }
    return true;
}

bool FlushFiles(const std::vector<std::wstring>& paths, std::wstring* failure) {
    std::atomic<size_t> next{0};
    std::mutex firstMutex;
    std::wstring first;
    auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            Handle f(CreateFileW(paths[i].c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (f && FlushFileBuffers(f.get())) continue;
            std::wstring why;
            Fail(&why, f ? L"FlushFileBuffers" : L"CreateFile", paths[i]);
            std::lock_guard<std::mutex> hold(firstMutex);
            if (first.empty()) first = why;
        }
    };
    // Flushes of different files overlap in the file system's journal.
    const size_t count = std::min<size_t>(8, paths.size());
    std::vector<std::thread> threads;
    for (size_t t = 1; t < count; ++t) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    if (!first.empty() && failure) *failure = first;
    return first.empty();
}

bool WriteFileReplacing(const std::wstring& path, std::string_view bytes, std::wstring* failure,
                        const std::function<void()>& beforeRename) {
    const std::wstring temp = PrivateTempNameBeside(path, L"new");
    {
        Handle f(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!f) return Fail(failure, L"CreateFile", temp);
        const bool written = WriteAll(f.get(), bytes.data(), bytes.size());
        if (!written || !FlushFileBuffers(f.get())) {
            Fail(failure, written ? L"FlushFileBuffers" : L"WriteFile", temp);
            f.reset();
            DeleteKeepingError(temp);
            return false;
        }
    }
    if (beforeRename) beforeRename();
    return RenameOver(temp, path, failure);
}

bool CopyFileReplacing(const std::wstring& from, const std::wstring& path, std::wstring* failure) {
    const std::wstring temp = PrivateTempNameBeside(path, L"copy");
    if (!CopyToNewFile(from, temp, failure)) return false;
    return RenameOver(temp, path, failure);
}

}  // namespace mv
