#include "install/backups.h"

#include <windows.h>
#include <shellapi.h>

#include "config/path_macros.h"
#include "config/settings.h"
#include "install/confine.h"
#include "install/file_ops.h"
#include "lang/language.h"
#include "notify/log.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

namespace {
std::wstring OldFilesListPath() { return mv::ReduceBackslashes(GetAppDir() + L"\\__oldfiles.lst"); }
}  // namespace

std::vector<std::wstring> ParseOldFilesList(std::string_view bytes) {
    std::vector<std::wstring> out;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        if (end == std::string_view::npos) end = bytes.size();
        std::string_view line = bytes.substr(pos, end - pos);
        if (line.size() > 1023) line = line.substr(0, 1023);
        std::wstring text = mv::Trim(mv::FromCodePage(line, CP_THREAD_ACP));
        if (!text.empty()) out.push_back(text);
        pos = end + 1;
    }
    return out;
}

bool IsBackupName(const std::wstring& path) {
    const std::wstring p = mv::ToLower(path);
    if (p.size() > 6 && p.compare(p.size() - 6, 6, L".__old") == 0) return true;
    return p.size() > 7 && p.compare(p.size() - 7, 6, L".__old") == 0 && p.back() >= L'0' && p.back() <= L'9';
}

std::vector<std::wstring> BackupNameCandidates(const std::wstring& target) {
    std::vector<std::wstring> names{target + L".__old"};
    for (int n = 0; n <= 9; ++n) names.push_back(mv::Format(L"%s.__old%d", target.c_str(), n));
    return names;
}

void RecordBackup(const std::wstring& path) {
    const std::wstring list = OldFilesListPath();
    mv::Handle f(CreateFileW(list.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    if (!f) return;
    SetFilePointer(f.get(), 0, nullptr, FILE_END);
    const std::string bytes = "\r\n" + mv::ToCodePage(path, CP_THREAD_ACP);
    DWORD put = 0;
    WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    FlushFileBuffers(f.get());
    NoteFileOperation();
}

bool DeleteListedBackups() {
    const std::wstring list = OldFilesListPath();
    std::string bytes;
    if (!mv::ReadFileBytes(list, bytes)) return true;
    const std::wstring appDir = NormalizePath(GetAppDir());
    bool all = true;
    for (const std::wstring& line : ParseOldFilesList(bytes)) {
        std::wstring path = line.find(L':') == std::wstring::npos ? GetAppDir() + line : line;
        path = NormalizePath(path);
        // The list is a plain file anyone could edit: only our own backup names go.
        if (!PathIsBelow(path, appDir) || !IsBackupName(path)) {
            WriteLog(Translate(L"MAIN", L"Refused a path outside the application directory") + L"[" + line + L"]");
            continue;
        }
        if (!mv::FileExists(path)) continue;
        if (!DeleteFileNow(path)) {
            WriteLog(mv::Format(L"DeleteFile[%s] failed: %lu", path.c_str(), GetLastError()));
            all = false;
        }
    }
    if (all) DeleteFileNow(list);
    return all;
}

std::wstring IcaclsProgram() {
    if (!ReadSettingBool(L"Mirovane", L"icacls", L"0")) return {};
    const std::wstring program = ExpandPathMacros(L"{sys}\\icacls.exe");
    return mv::FileExists(program) ? program : std::wstring();
}

std::wstring IcaclsParameters(const std::wstring& path) {
    // By SID: the group's name is translated on non-English systems. Read, run and delete, never
    // the right to change the access list: that would let any user take the file over.
    return L"\"" + path + L"\" /grant *S-1-5-32-545:(RX,D)";
}

void GrantUsersDelete(const std::wstring& program, const std::wstring& path) {
    if (program.empty()) return;
    const std::wstring params = IcaclsParameters(path);
    const HINSTANCE r = ShellExecuteW(nullptr, L"open", program.c_str(), params.c_str(), nullptr, SW_HIDE);
    if (reinterpret_cast<INT_PTR>(r) <= 32)
        WriteLog(mv::Format(L"ShellExecute[%s %s] failed: %ld", program.c_str(), params.c_str(),
                            static_cast<long>(reinterpret_cast<INT_PTR>(r))));
    else
        NoteFileOperation();
}

void GrantUsersDeleteAll(const std::wstring& program, const std::vector<std::wstring>& targets) {
    for (const std::wstring& t : targets) GrantUsersDelete(program, t);
}
