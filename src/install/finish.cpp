#include "install/finish.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <map>

#include "check/check_rules.h"
#include "check/list_fetch.h"
#include "check/list_signature.h"
#include "config/global_values.h"
#include "config/path_macros.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "download/file_hash.h"
#include "util/file_replace.h"
#include "util/files.h"
#include "install/backups.h"
#include "install/confine.h"
#include "install/dotnet.h"
#include "install/file_ops.h"
#include "install/install_lock.h"
#include "install/locked_files.h"
#include "install/run_file.h"
#include "install/targets.h"
#include "install/tasks.h"
#include "install/transaction.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "package/zip_reader.h"
#include "updatelist/download_list.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/com.h"
#include "util/handle.h"
#include "util/private_dir.h"
#include "util/shell_unelevated.h"
#include "util/text.h"

namespace {

constexpr UINT kMsgCopyProgress = 0x411;
constexpr int kCancelButton = 2;
constexpr DWORD kInstallLockWaitMs = 3000;


void Notify(HWND window, const std::wstring& text, LPARAM kind) {
    if (window) SendStatusText(window, text, kind);
    WriteLog(text);
}

std::wstring WorkDir(const DownLoadList& list) { return list.workDir.empty() ? ListCacheDir() : list.workDir; }

// The download tree's files, relative to `dir` ("sub\\name"); reparse points are not followed.
void ListTreeFiles(const std::wstring& dir, const std::wstring& prefix, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW fd;
    mv::FindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &fd));
    if (!find) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring relative = prefix.empty() ? name : prefix + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) out.push_back(relative);
        else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTreeFiles(dir + L"\\" + name, relative, out);
        else out.push_back(relative);
    } while (FindNextFileW(find.get(), &fd));
}

// Removes the directories of the tree that are empty (and the tree itself when it is).
void RemoveEmptyDirs(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    mv::FindHandle find(FindFirstFileW((dir + L"\\*").c_str(), &fd));
    if (find) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                RemoveEmptyDirs(dir + L"\\" + name);
        } while (FindNextFileW(find.get(), &fd));
    }
    find.reset();
    RemoveDirectoryW(dir.c_str());
}

// Whether the copy `staged` of a kept download holds what the record names: the file itself
// ("<path>_") is hashed; a kept archive ("<path>._.zip") is unpacked beside it and its item
// hashed. A record that names no sha256 passes, as it does when unpacked.
bool KeptDownloadMatches(const updatefileinfo& r, const std::wstring& staged, bool archive) {
    if (!archive || mv::Trim(r.sha256).empty()) return DownloadedFileMatchesHash(r, staged);
    const std::wstring item = mv::PrivateTempNameBeside(staged, L"item");
    std::wstring why;
    const bool ok = ExtractFirstItem(staged, item, MaxUnpackedBytes(), &why) && DownloadedFileMatchesHash(r, item);
    if (!why.empty()) WriteLog(mv::Format(Translate(L"MAIN", L"unzip error[%s]").c_str(), staged.c_str()) + L": " + why);
    DeleteFileW(item.c_str());
    return ok;
}

}  // namespace

std::vector<KeptDownload> KeptDownloadNames(const RecordArray& records) {
    std::vector<KeptDownload> out;
    for (size_t i = 0; i < records.size(); ++i) {
        const updatefileinfo& r = records[i];
        if (r.action == DescriptionRecord || r.action == RunTaskRecord || (r.action & ActionRemove)) continue;
        if (mv::Trim(r.path).empty()) continue;
        out.push_back({i, r.path + L"_", false});
        out.push_back({i, r.path + L"._.zip", true});
    }
    return out;
}

namespace {

// Without unpacking ([Mirovane] UnZip=0) the downloads go into the application directory as
// they were kept, under their download names, with no directory created and no file replaced.
// Only the files the list names go, each copied into the application directory first and
// checked there (a file in the download tree may change after any check made on it); anything
// else in the tree stays out. Emptied directories of the tree go.
void MoveKeptDownloads(const DownLoadList& list, const std::wstring& workDir, const std::wstring& appDir) {
    std::vector<std::wstring> handled;
    for (const KeptDownload& k : KeptDownloadNames(list.records)) {
        const std::wstring source = NormalizePath(JoinPath(workDir, k.name));
        const std::wstring target = NormalizePath(JoinPath(appDir, k.name));
        if (!PathIsBelow(source, workDir) || !PathIsBelow(target, appDir)) continue;
        const DWORD attributes = GetFileAttributesW(source.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
            continue;
        handled.push_back(mv::ToLower(source));
        if (PathExists(target) || !mv::DirExists(mv::PathDir(target))) continue;  // kept in the tree, as before
        const std::wstring staged = mv::PrivateTempNameBeside(target, L"new");
        const updatefileinfo& r = list.records[k.record];
        bool ok = CopyFileFlushed(source, staged) && KeptDownloadMatches(r, staged, k.archive) &&
                  MoveFileExW(staged.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
        if (ok) {
            DeleteFileW(source.c_str());
            WriteLog(mv::Format(Translate(L"MAIN", L"update file[%s]").c_str(), target.c_str()));
        } else {
            DeleteFileW(staged.c_str());
            WriteLog(mv::Format(Translate(L"MAIN", L"Not installed, it failed its check[%s]").c_str(), source.c_str()));
        }
    }
    std::vector<std::wstring> files;
    ListTreeFiles(workDir, L"", files);
    for (const std::wstring& f : files) {
        const std::wstring path = workDir + L"\\" + f;
        if (std::find(handled.begin(), handled.end(), mv::ToLower(path)) == handled.end())
            WriteLog(mv::Format(Translate(L"MAIN", L"Not installed, the list does not name it[%s]").c_str(), path.c_str()));
    }
    RemoveEmptyDirs(workDir);
}

struct Plan {
    Journal journal;
    std::vector<std::wstring> sources;  // per journal entry; empty for a removed file
    std::vector<updatefileinfo> from;   // per journal entry: the record whose file it installs
    std::vector<int> installed;         // indexes of the records that install files
};

// Decides every target, backup and source before anything is touched.
bool MakePlan(HWND window, const DownLoadList& list, const std::wstring& workDir, Plan& plan) {
    const int count = list.FileCount();
    const std::wstring work = NormalizePath(workDir);
    std::map<std::wstring, size_t> byTarget;
    for (int i = 0; i < count; ++i) {
        if (window) SendMessageW(window, kMsgCopyProgress, i, count);
        if (window) Sleep(1);  // lets the progress window repaint
        if (window) SendStatusText(window, mv::Format(Translate(L"MAIN", L"Copying files[%d/%d]...").c_str(), i + 1, count), -1);
        const updatefileinfo& r = list.records[i];
        const bool remove = (r.action & ActionRemove) != 0;
        std::wstring source;
        if (!remove) {
            source = NormalizePath(JoinPath(workDir, r.path) + L"_");
            if (!PathIsBelow(source, work)) {
                WriteLog(Translate(L"MAIN", L"Refused a path outside the application directory") + L"[" + r.path + L"]");
                return false;
            }
            if (!mv::FileExists(source)) {
                WriteLog(mv::Format(Translate(L"MAIN", L"downloaded file missing[%s]").c_str(), source.c_str()));
                return false;
            }
        }
        for (const std::wstring& t : InstallTargets(r)) {
            const std::wstring target = NormalizePath(t);
            if (!MayTouchPath(target)) return false;
            if (remove && mv::DirExists(target)) {
                WriteLog(mv::Format(L"not removing a directory[%s]", target.c_str()));
                continue;
            }
            if (mv::DirExists(target)) {
                WriteLog(mv::Format(Translate(L"MAIN", L"copy file error[%s]to[%s]").c_str(), source.c_str(), target.c_str()));
                return false;
            }
            const bool exists = mv::FileExists(target);
            if (remove && !exists) continue;
            const std::wstring key = mv::ToLower(target);
            auto seen = byTarget.find(key);
            if (seen != byTarget.end()) {
                // A later record naming the same target wins, as if copied after the first.
                plan.sources[seen->second] = source;
                plan.from[seen->second] = r;
                plan.journal.entries[seen->second].staged = remove ? L"" : L"?";
                continue;
            }
            JournalEntry e{target, L"", remove ? L"" : L"?", exists};
            if (exists) {
                e.backup = FreeBackupName(target);
                if (e.backup.empty()) return false;
            }
            byTarget[key] = plan.journal.entries.size();
            plan.journal.entries.push_back(e);
            plan.sources.push_back(source);
            plan.from.push_back(r);
        }
        if (!remove) plan.installed.push_back(i);
    }
    return true;
}

// Staged names are chosen when the journal is written, so a kill while staging leaves
// nothing the next start cannot find.
bool NameStagedFiles(Plan& plan) {
    for (size_t i = 0; i < plan.journal.entries.size(); ++i) {
        JournalEntry& e = plan.journal.entries[i];
        if (e.staged.empty()) continue;
        e.staged.clear();
        for (int n = 0; n < 100 && e.staged.empty(); ++n) {
            std::wstring name = e.target + (n == 0 ? std::wstring(L".__new") : mv::Format(L".__new%d", n));
            if (!PathExists(name)) e.staged = name;
        }
        if (e.staged.empty()) return false;
    }
    return true;
}

// The list to install when the session holds none (a list saved by an older updater): the
// cached list file, else the address the check fetched the list from, fetched again. A signed
// list is never taken from the cache (it was changed by the merge and cannot be verified
// again), only fetched and verified anew.
std::string FallbackInstalledList(HWND window, DownLoadList& list, const std::wstring& workDir) {
    std::string bytes;
    const std::wstring cached = InstalledListSource(ListCacheXmlPath());
    if (!ListSigningRequired() && !cached.empty() && mv::ReadFileBytes(cached, bytes, static_cast<long long>(kMaxListBytes)) &&
        IsListBytes(bytes))
        return bytes;
    const std::wstring url = GlobalValues::Get(L"__down|" + ListCacheXmlPath());
    if (url.empty()) return {};
    const long seconds = mv::ParseLong(ReadSettingOr(L"Mirovane", L"TimeOut", L"60"));
    if (!FetchList(window, url, mv::PrivateTempNameBeside(JoinPath(workDir, L"__list.xml"), L"refetch"), DeadlineIn(seconds),
                   bytes))
        return {};
    if (!IsListBytes(bytes) || (ListSigningRequired() && !AcceptSignedList(bytes, list))) return {};
    WriteLog(mv::Format(Translate(L"MAIN", L"update list fetched again to store it[%s]").c_str(), url.c_str()));
    return bytes;
}

}  // namespace

std::wstring RepairListName(const std::wstring& name) {
    const std::wstring lower = mv::ToLower(name);
    const size_t at = lower.find(L".xml.xml");
    if (at != std::wstring::npos && at >= 1) return name.substr(0, at) + L".xml" + name.substr(at + 8);
    return name + L".xml";
}

std::wstring InstalledListSource(const std::wstring& cachedList) {
    if (mv::FileExists(cachedList)) return cachedList;
    const std::wstring repaired = RepairListName(cachedList);
    return mv::FileExists(repaired) ? repaired : std::wstring();
}

bool InstallAndFinish(HWND window, DownLoadList& list) {
    const std::wstring icacls = IcaclsProgram();
    const bool unzip = ReadSettingBool(L"Mirovane", L"UnZip", L"1");
    Notify(window, Translate(L"MAIN", L"Copy from temporary directory"), 1);

    // Only the session's own download directory is ever moved from or deleted.
    const std::wstring workDir = NormalizePath(WorkDir(list));
    if (!IsDeletableWorkDir(workDir, NormalizePath(GetTempDir()), NormalizePath(GetAppDir()))) {
        WriteLog(mv::Format(Translate(L"MAIN", L"not a download directory[%s]").c_str(), workDir.c_str()));
        return false;
    }
    if (!unzip) {
        MoveKeptDownloads(list, workDir, NormalizePath(GetAppDir()));
        return true;
    }

    Plan plan;
    if (!MakePlan(window, list, workDir, plan)) return false;
    // The installed list is the document the check verified and read, byte for byte.
    const std::string document = list.document.empty() ? FallbackInstalledList(window, list, workDir) : list.document;
    plan.journal.version = list.remoteVersion;
    plan.journal.workDir = workDir;
    plan.journal.listTarget = mv::ReduceBackslashes(GetAppDir() + L"\\mirovane.xml");
    if (!document.empty()) plan.journal.listStaged = plan.journal.listTarget + L".__new";
    else WriteLog(mv::Format(Translate(L"MAIN", L"no update list to store[%s]").c_str(), ListCacheXmlPath().c_str()));
    if (!NameStagedFiles(plan)) return false;

    // Journal first, then staging: a full disk fails here, before any installed file changes.
    Journal& journal = plan.journal;
    if (PathExists(JournalPath())) {
        WriteLog(mv::Format(L"an earlier install journal is still open[%s]", JournalPath().c_str()));
        return false;
    }
    journal.dirs = MissingTargetDirs(journal.entries);
    if (!WriteJournal(journal)) return false;
    bool ok = true;
    // From a working directory nobody else can write, a download becomes a second name of the
    // file beside its target: no bytes are copied, and the download stays for a retry.
    const bool link = WorkingDirIsTrusted();
    std::vector<std::wstring> staged;
    for (size_t i = 0; i < journal.entries.size() && ok; ++i) {
        const JournalEntry& e = journal.entries[i];
        if (e.staged.empty()) continue;
        const bool made = !mv::DirExists(mv::PathDir(e.target));
        ok = mv::CreateDirTree(mv::PathDir(e.target));
        if (ok && made) NoteFileOperation();
        ok = ok && StageFile(plan.sources[i], e.staged, link);
        if (ok) staged.push_back(e.staged);
        if (!ok) WriteLog(mv::Format(Translate(L"MAIN", L"copy file error[%s]to[%s]").c_str(), plan.sources[i].c_str(), e.target.c_str()));
        // The staged copy is what will be swapped in: checked again here, so a file changed in
        // the temporary directory after its download (a relaunch lies between) is never installed.
        if (ok) ok = DownloadedFileMatchesHash(plan.from[i], e.staged);
    }
    // On disk before the swap: a power cut after the commit must not leave empty files behind.
    if (ok) ok = FlushStagedFiles(staged);
    if (ok && !journal.listStaged.empty()) ok = WriteFileAtomically(journal.listStaged, document);
    if (ok) ok = SwapEntries(journal);
    // The tasks go into the journal with the commit: from there on a kill leaves them to the
    // next start, which runs those not marked done.
    list.rebootNeeded = 0;
    if (ok) journal.tasks = PlanPostTasks(list, plan.installed);
    if (ok) ok = CommitJournal(journal);
    if (!ok) {
        RollBack(journal);
        return false;
    }

    for (const JournalEntry& e : journal.entries)
        if (!e.staged.empty()) WriteLog(mv::Format(Translate(L"MAIN", L"update file[%s]").c_str(), e.target.c_str()));
    SettleBackups(journal);
    for (int i : plan.installed) {
        const updatefileinfo& r = list.records[i];
        const std::vector<std::wstring> targets = InstallTargets(r);
        GrantUsersDeleteAll(icacls, targets);
    }

    Notify(window, Translate(L"MAIN", L"Do upgrade tasks"), 1);
    NoteRemovedFiles(window, list);
    RunJournalTasks(journal, window);
    Notify(window, Translate(L"MAIN", L"Clear temp files"), 7);
    const bool stored = FinishJournal(journal);
    Notify(window, mv::Format(Translate(L"MAIN", L"Update completed,done %d files").c_str(), list.FileCount()), 7);
    if (list.rebootNeeded) Notify(window, Translate(L"MAIN", L"Need to restart your computer"), 1);
    if (!stored) WriteLog(Translate(L"MAIN", L"The new update list could not be stored; the next check compares with the old one"));
    // The cache file has served its purpose once its list is installed.
    const std::wstring cached = InstalledListSource(ListCacheXmlPath());
    if (!cached.empty()) DeleteFileW(cached.c_str());
    if (!journal.listStaged.empty()) GrantUsersDelete(icacls, journal.listTarget);
    return true;
}

void RunCopyStep(HWND window, DownLoadList& list) {
    if (list.stage != UpdateCheckLocalOk) return;
    SetStage(list, UpdateCopy);
    mv::ComInit com;
    HWND parent = window ? GetParent(window) : nullptr;
    HWND cancel = parent ? GetDlgItem(parent, kCancelButton) : nullptr;
    if (cancel) EnableWindow(cancel, FALSE);
    bool ok = false;
    if (!AcquireInstallLock(kInstallLockWaitMs)) {
        Notify(window, InstallLockBusyText(), 0);
    } else {
        ok = InstallAndFinish(window, list);
        ReleaseInstallLock();
    }
    if (ok) {
        if (!list.remoteVersion.empty()) WriteSetting(L"APPLICATION", L"Ver", list.remoteVersion);
        StoreInstalledListSequence(list);
        SetStage(list, UpdateCopyOk);
    } else {
        Notify(window, Translate(L"MAIN", L"The update could not be installed; the installed files are unchanged"), 0);
        SetStage(list, UpdateCopyError);
    }
    if (cancel) EnableWindow(cancel, TRUE);
}

namespace {
HostMissingHandler g_hostMissingHandler = nullptr;
constexpr wchar_t kDefaultWebSite[] = L"https://www.mirovane.invalid";
}  // namespace

void RegisterHostMissingHandler(HostMissingHandler handler) { g_hostMissingHandler = handler; }

bool InternetReachable() {
    const std::wstring url =
        ReadSettingOr(L"Mirovane", L"ConnectionTestUrl", ReadSettingOr(L"Mirovane", L"WebSite", kDefaultWebSite));
    if (InternetCheckConnectionW(url.c_str(), FLAG_ICC_FORCE_CONNECTION, 0)) return true;
    WriteLog(mv::Format(L"InternetCheckConnection failed (%lu): %s", GetLastError(), url.c_str()));
    return false;
}

namespace {

// An elevated updater must not hand its rights on to the host program: the desktop's shell,
// which runs with the user's own rights, starts it. Directly only when no shell answers.
bool StartHostAtUserLevel(const std::wstring& host) {
    if (mv::RunsElevated()) {
        mv::ComInit com;
        const HRESULT hr = ShellExecuteUnelevated(host, L"", GetAppDir());
        if (hr == S_OK) {  // S_FALSE: the shell took the request but could not start the program
            WriteLog(mv::Format(L"the host program [%s] is started through the desktop shell, at the user's level",
                                host.c_str()));
            return true;
        }
        WriteLog(mv::Format(L"no desktop shell answered (0x%08lX): the host program [%s] is started directly",
                            static_cast<unsigned long>(hr), host.c_str()));
    }
    return RunFile(host, GetAppDir(), L"", nullptr, false);
}

}  // namespace

HostStart StartHostProgram(bool interactive) {
    const std::wstring name = ReadSetting(L"APPLICATION", L"Name");
    const std::wstring host = HostProgramPath();
    if (host.empty()) return HostStart::NotStarted;
    HWND owner = GetActiveWindow();
    if (mv::FileExists(host)) {
        const std::wstring version = RequiredDotNetVersion();
        if (!version.empty()) {
            DetectDotNetVersions();
            if (IsDotNetMissing(version)) {
                WriteLog(mv::Format(Translate(L"MAIN", L"The host program needs .NET Framework %s: not started").c_str(),
                                    version.c_str()));
                if (interactive) OfferDotNetInstall(owner, version);
                return HostStart::NotStarted;
            }
        }
        return StartHostAtUserLevel(host) ? HostStart::Started : HostStart::NotStarted;
    }
    if (!interactive) return HostStart::NotStarted;
    if (g_hostMissingHandler && InternetReachable())
        return g_hostMissingHandler(owner) ? HostStart::ErrorPageClosed : HostStart::NotStarted;
    const std::wstring text = Translate(L"MAIN", L"Can't find the file that you set Application in mirovane.ini file.") + L"\r\n";
    const std::wstring caption = L"Mirovane " + name;
    PromptUser(owner, text, caption, MB_ICONEXCLAMATION, IDOK);
    return HostStart::NotStarted;
}
