#include "install/transaction.h"

#include <windows.h>

#include <algorithm>

#include "config/settings.h"
#include "util/file_tree.h"
#include "install/backups.h"
#include "install/confine.h"
#include "install/file_ops.h"
#include "install/install_lock.h"
#include "install/locked_files.h"
#include "lang/language.h"
#include "notify/log.h"
#include "util/file_replace.h"
#include "util/files.h"
#include "util/text.h"

namespace {

// Version 2 escapes its fields; a version 1 journal (written before) is still read as it is.
constexpr char kJournalHeader[] = "mirovane install journal 2";
constexpr char kJournalHeaderV1[] = "mirovane install journal 1";
constexpr char kJournalEnd[] = "end";

std::wstring AppFile(const wchar_t* name) { return mv::ReduceBackslashes(GetAppDir() + L"\\" + name); }

// A field as "%XX" for '%' and every control character: a version text from the network or a
// name can never start a field or a line of its own.
std::wstring EscapeField(const std::wstring& field) {
    std::wstring out;
    for (wchar_t c : field) {
        if (c == L'%' || c < 0x20 || c == 0x7F)
            out += mv::Format(L"%%%02X", static_cast<unsigned>(c));
        else
            out += c;
    }
    return out;
}

bool UnescapeField(const std::wstring& field, std::wstring& out) {
    std::wstring plain;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != L'%') {
            plain += field[i];
            continue;
        }
        if (i + 2 >= field.size() || !iswxdigit(field[i + 1]) || !iswxdigit(field[i + 2])) return false;
        plain += static_cast<wchar_t>(wcstoul(field.substr(i + 1, 2).c_str(), nullptr, 16));
        i += 2;
    }
    out = std::move(plain);
    return true;
}

}  // namespace

std::string SerializeJournal(const Journal& j) {
    std::wstring text = mv::FromUtf8(kJournalHeader);
    text += L"\nstate\t" + std::wstring(j.committed ? L"done" : L"pending");
    text += L"\nversion\t" + EscapeField(j.version);
    text += L"\nworkdir\t" + EscapeField(j.workDir);
    text += L"\nlist\t" + EscapeField(j.listStaged) + L"\t" + EscapeField(j.listTarget);
    for (const JournalEntry& e : j.entries)
        text += L"\nfile\t" + EscapeField(e.target) + L"\t" + EscapeField(e.backup) + L"\t" + EscapeField(e.staged) + L"\t" +
                (e.existed ? L"1" : L"0");
    for (const std::wstring& d : j.dirs) text += L"\ndir\t" + EscapeField(d);
    for (const PostTask& t : j.tasks)
        text += L"\ntask\t" + EscapeField(t.kind) + L"\t" + (t.done ? L"1" : L"0") + L"\t" + EscapeField(t.text);
    text += L"\n" + mv::FromUtf8(kJournalEnd) + L"\n";
    return mv::ToUtf8(text);
}

bool ParseJournal(std::string_view bytes, Journal& out) {
    std::vector<std::wstring> lines = mv::Split(mv::FromUtf8(bytes), L'\n');
    if (lines.size() < 7) return false;
    const bool escaped = lines[0] == mv::FromUtf8(kJournalHeader);
    if (!escaped && lines[0] != mv::FromUtf8(kJournalHeaderV1)) return false;
    // A journal cut short by a crash is not acted on: the last line must be the end marker.
    if (!lines.back().empty() || lines[lines.size() - 2] != mv::FromUtf8(kJournalEnd)) return false;
    Journal j;
    bool state = false, version = false, work = false, list = false;
    for (size_t i = 1; i + 2 < lines.size(); ++i) {
        std::vector<std::wstring> f = mv::Split(lines[i], L'\t');
        if (escaped)
            for (size_t k = 1; k < f.size(); ++k)
                if (!UnescapeField(f[k], f[k])) return false;
        if (f[0] == L"state" && f.size() == 2 && (f[1] == L"done" || f[1] == L"pending")) {
            j.committed = f[1] == L"done";
            state = true;
        } else if (f[0] == L"version" && f.size() == 2) {
            j.version = f[1];
            version = true;
        } else if (f[0] == L"workdir" && f.size() == 2) {
            j.workDir = f[1];
            work = true;
        } else if (f[0] == L"list" && f.size() == 3) {
            j.listStaged = f[1];
            j.listTarget = f[2];
            list = true;
        } else if (f[0] == L"file" && f.size() == 5 && !f[1].empty() && (f[4] == L"0" || f[4] == L"1")) {
            j.entries.push_back({f[1], f[2], f[3], f[4] == L"1"});
        } else if (f[0] == L"task" && f.size() == 4 && (f[1] == L"register" || f[1] == L"run" || f[1] == L"command" || f[1] == L"shortcut") &&
                   (f[2] == L"0" || f[2] == L"1")) {
            j.tasks.push_back({f[1], f[3], f[2] == L"1"});
        } else if (f[0] == L"dir" && f.size() == 2 && !f[1].empty()) {
            j.dirs.push_back(f[1]);
        } else {
            return false;
        }
    }
    if (!state || !version || !work || !list) return false;
    out = std::move(j);
    return true;
}

std::wstring JournalPath() { return AppFile(L"__install.journal"); }

bool WriteJournal(const Journal& journal) { return WriteFileAtomically(JournalPath(), SerializeJournal(journal)); }

std::vector<std::wstring> MissingTargetDirs(const std::vector<JournalEntry>& entries) {
    // "C:\a\b\c" -> "C:\a\b"; empty at the root.
    auto parent = [](const std::wstring& path) {
        std::wstring p = path;
        while (!p.empty() && (p.back() == L'\\' || p.back() == L'/')) p.pop_back();
        std::wstring dir = mv::PathDir(p);
        while (dir.size() > 3 && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
        return dir;
    };
    std::vector<std::wstring> dirs;
    for (const JournalEntry& e : entries) {
        if (e.staged.empty()) continue;
        std::vector<std::wstring> chain;  // this target's missing directories, deepest first
        for (std::wstring d = parent(e.target); d.size() > 3 && !mv::DirExists(d); d = parent(d)) {
            if (std::find(dirs.begin(), dirs.end(), d) != dirs.end()) break;
            chain.push_back(d);
        }
        dirs.insert(dirs.end(), chain.rbegin(), chain.rend());
    }
    return dirs;
}

std::wstring FreeBackupName(const std::wstring& target) {
    for (const std::wstring& name : BackupNameCandidates(target)) {
        if (!PathExists(name)) return name;
        WriteLog(mv::Format(Translate(L"MAIN", L"backup file error[%s]to[%s]").c_str(), target.c_str(), name.c_str()));
    }
    return {};
}

bool SwapEntries(const Journal& journal) {
    for (const JournalEntry& e : journal.entries) {
        if (e.existed && !RenameFile(e.target, e.backup)) {
            WriteLog(mv::Format(Translate(L"MAIN", L"backup file error[%s]to[%s]").c_str(), e.target.c_str(),
                                e.backup.c_str()));
            return false;
        }
        if (e.existed)
            WriteLog(mv::Format(Translate(L"MAIN", L"backup file[%s]to[%s]").c_str(), e.target.c_str(), e.backup.c_str()));
        if (!e.staged.empty() && !RenameFile(e.staged, e.target)) {
            WriteLog(mv::Format(Translate(L"MAIN", L"move file error[%s]to[%s]").c_str(), e.staged.c_str(),
                                e.target.c_str()));
            return false;
        }
    }
    return true;
}

bool RollBack(const Journal& journal) {
    bool ok = true;
    for (auto it = journal.entries.rbegin(); it != journal.entries.rend(); ++it) {
        const JournalEntry& e = *it;
        if (!MayTouchPath(e.target)) {
            ok = false;
            continue;
        }
        if (e.existed && !e.backup.empty() && PathExists(e.backup)) {
            // The target was renamed aside: whatever stands in its place now is new.
            if (PathExists(e.target) && !DeleteFileNow(e.target)) {
                WriteLog(mv::Format(L"DeleteFile[%s] failed: %lu", e.target.c_str(), GetLastError()));
                ok = false;
                continue;
            }
            if (!RenameFile(e.backup, e.target)) {
                ok = false;
                continue;
            }
        } else if (!e.existed && !e.staged.empty() && !PathExists(e.staged) && mv::FileExists(e.target)) {
            // A new file that had been moved into place.
            if (!DeleteFileNow(e.target)) ok = false;
        }
        if (!e.staged.empty() && PathExists(e.staged) && !DeleteFileNow(e.staged)) ok = false;
    }
    if (!journal.listStaged.empty() && PathExists(journal.listStaged) && !DeleteFileNow(journal.listStaged)) ok = false;
    // The staged list is written through a temporary name a kill may leave behind.
    if (!journal.listStaged.empty()) mv::RemoveLeftTempNames(journal.listStaged);
    // The directories made for new files, children first; one that holds something else now
    // (another program wrote there meanwhile) stays.
    for (auto it = journal.dirs.rbegin(); it != journal.dirs.rend(); ++it) {
        if (!MayTouchPath(*it) || !mv::DirExists(*it)) continue;
        if (RemoveDirectoryW(it->c_str())) NoteFileOperation();
        else if (GetLastError() != ERROR_DIR_NOT_EMPTY) ok = false;
    }
    if (ok) {
        if (PathExists(JournalPath())) DeleteFileNow(JournalPath());
        WriteLog(Translate(L"MAIN", L"The update was rolled back; the installed files are unchanged"));
    } else {
        WriteLog(Translate(L"MAIN", L"The update could not be rolled back completely; it is tried again at the next start"));
    }
    return ok;
}

bool CommitJournal(Journal& journal) {
    journal.committed = true;
    if (WriteJournal(journal)) return true;
    journal.committed = false;
    return false;
}

void SettleBackups(const Journal& journal) {
    for (const JournalEntry& e : journal.entries) {
        if (!e.staged.empty() && PathExists(e.staged)) DeleteFileNow(e.staged);
        if (e.backup.empty() || !mv::FileExists(e.backup)) continue;
        // A running program or a loaded library cannot be deleted until it ends.
        if (DeleteFileNow(e.backup)) {
            WriteLog(mv::Format(Translate(L"MAIN", L"removed backup[%s]").c_str(), e.backup.c_str()));
        } else {
            RecordBackup(e.backup);
            WriteLog(mv::Format(Translate(L"MAIN", L"backup in use, removed at the next start[%s]").c_str(), e.backup.c_str()));
        }
    }
}

bool IsDeletableWorkDir(const std::wstring& dir, const std::wstring& tempDir, const std::wstring& appDir) {
    if (dir.empty() || tempDir.empty()) return false;
    return PathIsBelow(dir, tempDir) && !PathEqualsNoCase(dir, appDir) && !PathIsBelow(appDir, dir);
}

bool FinishJournal(const Journal& journal) {
    if (!journal.listStaged.empty()) mv::RemoveLeftTempNames(journal.listStaged);
    if (!journal.workDir.empty() && mv::DirExists(journal.workDir)) {
        if (IsDeletableWorkDir(NormalizePath(journal.workDir), NormalizePath(GetTempDir()), NormalizePath(GetAppDir()))) {
            DeleteTree(journal.workDir);
            NoteFileOperation();
        } else {
            WriteLog(mv::Format(L"not deleting the download directory[%s]", journal.workDir.c_str()));
        }
    }
    bool ok = true;
    if (!journal.listStaged.empty() && PathExists(journal.listStaged))
        ok = RenameFile(journal.listStaged, journal.listTarget, true);
    if (!journal.version.empty()) ok = StoreInstalledVersion(journal.version) && ok;
    if (ok && PathExists(JournalPath())) DeleteFileNow(JournalPath());
    return ok;
}

namespace {

// Puts back the backups whose targets are missing, below `dir`: what a swap left when its
// journal cannot be read. A backup beside an existing target stays for the clean-up.
void RestoreOrphanedBackups(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L".." || (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        const std::wstring path = dir + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            RestoreOrphanedBackups(path);
            continue;
        }
        if (!IsBackupName(name)) continue;
        const size_t at = mv::ToLower(name).rfind(L".__old");
        const std::wstring target = dir + L"\\" + name.substr(0, at);
        if (PathExists(target) || !MayTouchPath(target)) continue;
        if (RenameFile(path, target)) WriteLog(mv::Format(L"restored [%s] from its backup", target.c_str()));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

}  // namespace

void SetAsideUnreadableJournal() {
    // Never taken as finished, and never left to block every later install either.
    WriteLog(mv::Format(L"unreadable install journal[%s]: the backups it may name are put back and the journal set aside",
                        JournalPath().c_str()));
    RestoreOrphanedBackups(NormalizePath(GetAppDir()));
    const std::wstring aside = JournalPath() + L".unreadable";
    if (!MoveFileExW(JournalPath().c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        WriteLog(mv::Format(L"MoveFileEx [%s] failed (%lu)", JournalPath().c_str(), GetLastError()));
}

void RunJournalTasks(Journal& journal, HWND window) {
    for (PostTask& t : journal.tasks) {
        if (t.done) continue;
        RunPostTask(t, window);
        NoteFileOperation();  // ended, not yet recorded: a kill here runs it again
        t.done = true;
        if (!WriteJournal(journal))
            WriteLog(mv::Format(L"the install journal [%s] could not record a finished task", JournalPath().c_str()));
    }
}

void RecoverInterruptedInstall() {
    // Temporary names of the atomic writes: never the only copy of anything, and no other
    // writer runs beside the install lock's holder.
    for (const std::wstring& path : {JournalPath(), InstalledVersionPath()}) mv::RemoveLeftTempNames(path);
    std::string bytes;
    if (!mv::ReadFileBytes(JournalPath(), bytes)) return;
    Journal journal;
    if (!ParseJournal(bytes, journal)) {
        SetAsideUnreadableJournal();
        return;
    }
    // Every path a recovery would rename or delete, not only the targets.
    for (const JournalEntry& e : journal.entries)
        for (const std::wstring* p : {&e.target, &e.backup, &e.staged})
            if (!p->empty() && !MayTouchPath(*p)) return;
    for (const std::wstring* p : {&journal.listStaged, &journal.listTarget})
        if (!p->empty() && !MayTouchPath(*p)) return;
    if (!journal.committed) {
        WriteLog(Translate(L"MAIN", L"Rolling back an interrupted update"));
        RollBack(journal);
        return;
    }
    WriteLog(Translate(L"MAIN", L"Finishing an interrupted update"));
    SettleBackups(journal);
    RunJournalTasks(journal, nullptr);
    FinishJournal(journal);
}

void DeleteRecordedBackups() {
    // Another process installing into this directory owns its backups and its journal.
    const bool heldBefore = InstallLockHeld();
    if (!AcquireInstallLock(0)) {
        WriteLog(InstallLockBusyText());
        return;
    }
    RecoverInterruptedInstall();
    PutBackLeftProbes(NormalizePath(GetAppDir()));
    DeleteListedBackups();
    if (!heldBefore) ReleaseInstallLock();
}

std::wstring InstalledVersionPath() { return AppFile(L"mirovane.ver"); }

bool StoreInstalledVersion(const std::wstring& version) {
    return WriteFileAtomically(InstalledVersionPath(), mv::ToUtf8(version));
}

void LoadInstalledVersion() {
    std::string bytes;
    if (!mv::ReadFileBytes(InstalledVersionPath(), bytes)) return;
    const std::wstring version = mv::Trim(mv::FromUtf8(bytes));
    if (!version.empty()) WriteSetting(L"APPLICATION", L"Ver", version);
}
