// The per-file record and the process-wide download list that carries an update session.
#pragma once
#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/crypto.h"

enum UpdateStage : int {
    UpdateNone = 0,
    UpdateCheckRemote = 1,
    UpdateCheckRemoteError = 2,
    UpdateCheckRemoteOk = 3,
    UpdateDownload = 4,
    UpdateDownloadError = 5,
    UpdateDownloadOk = 6,
    UpdateCheckLocal = 7,
    UpdateCheckLocalError = 8,
    UpdateCheckLocalOk = 9,
    UpdateCopy = 10,
    UpdateCopyError = 11,
    UpdateCopyOk = 12,
    UpdateEnd = 13,
};

// Name of a stage (also the key of its hooks), or empty for a value without a name.
const wchar_t* UpdateStageName(int stage);

// Starts one stage hook (`hook` as the settings give it) and, with `wait`, waits for it.
using StageHookRunner = void (*)(const std::wstring& hook, bool wait);
// Registers how stage hooks are run (start-up does, with the task runner); until then, and
// with null, no hook runs.
void SetStageHookRunner(StageHookRunner runner);
// Tells the registered windows of the new stage (BroadcastStage), stores it in the session's
// list and starts the stage's [UpdateEvent] hook, then its [UpdateEventWaitClose] hook and
// waits for it. Without a list: the process-wide one (start-up and the windows).
struct DownLoadList;
void SetStage(DownLoadList& list, int stage);
void SetStage(int stage);
// Runs the hooks named `name` in [UpdateEvent] (started) and [UpdateEventWaitClose] (waited
// for), as every stage does; start-up runs "UpdateStartup" this way.
void RunStageHooks(const std::wstring& name);

enum : int {
    ActionRun = 1,
    ActionRemove = 2,
    ActionRegister = 4,
    ActionReboot = 8,
    RunTaskRecord = 0x7E000000,
    DescriptionRecord = 0x7F000000,
};

// A binary patch the list offers for a file: it rebuilds the file from the version whose
// SHA-256 is `from`. Its address is `url`, else `path` placed like a file's path.
struct FilePatch {
    std::wstring from;    // 64 lower-case hexadecimal digits
    std::wstring path;
    std::wstring url;
    std::wstring sha256;  // of the patch itself, 64 lower-case hexadecimal digits
    long long size = -1;  // -1: not said
};

struct updatefileinfo {
    std::wstring url;
    std::wstring path;
    std::wstring desname;
    std::wstring ver;
    std::wstring spare;
    std::wstring shortcut;
    std::wstring shortcuticon;
    std::wstring iconindex;
    int action = 0;
    // SHA-256 the file must have once downloaded (64 hexadecimal digits), or empty.
    std::wstring sha256;
    // What the publisher said of the file (attributes "size" and "zip"), so the download needs
    // no request to find out: its size in bytes (-1: not said), and whether a zipped form is
    // published (1 yes, 0 no, -1 not said). Not kept in the saved form.
    long long size = -1;
    int zipped = -1;
    // Patches from older versions (child elements "patch"); not kept in the saved form.
    std::vector<FilePatch> patches{};
};

using RecordArray = std::vector<updatefileinfo>;

// Address of a file when the remote list names no "fileurl" pattern.
inline constexpr wchar_t kDefaultFileUrlPattern[] = L"{listurl-base}/{filename}";

// A list exactly as it was verified, with its signature: what a relaunched copy checks again
// before it continues from a saved list.
struct SignedSource {
    mv::ListRole role = mv::ListRole::Update;
    std::wstring url;
    std::string bytes;
    std::string signature;
};

struct DownLoadList {
    RecordArray records;  // the files to update, in list order
    int stage = UpdateNone;
    int reached = UpdateNone;  // the last stage before the end sequence: what the run came to
    int refused = 0;           // records the check refused (logged one by one)
    std::wstring description;
    std::map<std::wstring, std::wstring> properties;
    HWND statusWindow = nullptr;
    std::wstring listUrlBase;
    std::wstring fileUrlPattern = kDefaultFileUrlPattern;
    std::wstring workDir;
    std::wstring listGuid;
    std::wstring remoteVersion;
    std::vector<std::wstring> subListUrls;
    std::vector<std::wstring> runTasks;
    int rebootNeeded = 0;
    // The list as the check fetched, verified and read it (the main list merged in, the root's
    // guid removed): these bytes become the installed "mirovane.xml". Empty before a check.
    std::string document;
    // With [UPDATEINFO] ListKey: the update list and the main list as verified (empty without).
    std::vector<SignedSource> signedSources;
    // The update package the files come from instead of the server (empty: the server). Set
    // by a check that took its list from the package; not part of the saved form.
    std::wstring packagePath;

    int FileCount() const { return static_cast<int>(records.size()); }
};

// The one download list of the process.
DownLoadList& TheDownLoadList();
// The one lock of records that several threads see at once (the download workers fill in
// their records while the windows count them): held for each change and each copy taken.
std::mutex& RecordMutex();

// Forgets what an earlier check or session left in the list, so a new one starts clean.
void ForgetSession(DownLoadList& list);

// Cleans a record (version lower-cased and trimmed; path with "|" as "\", without "._.zip",
// trimmed) and appends it to the array, under the record-list lock.
void AddFileRecord(const updatefileinfo& record, RecordArray& records);

// Moves description and run-task records out of the file records: descriptions become the
// list's description (list order, CR LF after each, literal "\r\n" and "\n" as line breaks),
// run tasks are appended to runTasks from the last record to the first.
void SeparateSpecialRecords(DownLoadList& list);

// Record-array operations. An index outside the array is an error (false / nullptr).
int RecordCount(const RecordArray& records);
const updatefileinfo* RecordAt(const RecordArray& records, int index);
updatefileinfo* RecordAt(RecordArray& records, int index);
void AppendRecord(RecordArray& records, const updatefileinfo& record);
void RemoveAllRecords(RecordArray& records);

// The saved form: little-endian, strings as a 32-bit count of UTF-16 code units and the units.
// Properties (terminated by the key "!-end------"), run tasks, description, listUrlBase,
// fileUrlPattern, workDir, listGuid, stage, records. A record's sha256 travels as the
// property "sha256|<record index>", the list's document as "document|bytes" with
// "document|size", and each signed source as "source|<n>|role", "|url", "|bytes", "|size"
// and "|sig", so the record layout stays as it was.
std::string SerializeList(const DownLoadList& list);
// Reads a saved form into the list: all or nothing. False, with the list untouched, for a
// truncated or corrupt form (counts and lengths are checked against the bytes that remain).
bool DeserializeList(std::string_view bytes, DownLoadList& list);

// Saves or restores the download list in its binary form (the "[mirovane].lst" file).
// Saving replaces the target whole (util/file_replace.h), so the target is either the old
// list or the whole new one; on failure GetLastError says why. Loading appends the records read.
// Both return false, leaving the list untouched, when the file cannot be used.
bool SaveList(const std::wstring& path);
bool LoadList(const std::wstring& path);
bool SaveListFrom(const DownLoadList& list, const std::wstring& path);
bool LoadListInto(DownLoadList& list, const std::wstring& path);
