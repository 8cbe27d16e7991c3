// The per-file record and the process-wide download list that carries an update session.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

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

enum : int {
    ActionRun = 1,
    ActionRemove = 2,
    ActionRegister = 4,
    ActionReboot = 8,
    RunTaskRecord = 0x7E000000,
    DescriptionRecord = 0x7F000000,
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
};

using RecordArray = std::vector<updatefileinfo>;

struct DownLoadList {
    RecordArray records;  // the files to update, in list order
    int stage = UpdateNone;
    std::wstring description;
    std::map<std::wstring, std::wstring> properties;
    HWND statusWindow = nullptr;
    std::wstring listUrlBase;
    std::wstring fileUrlPattern = L"{listurl-base}/{filename}";
    std::wstring workDir;
    std::wstring listGuid;
    std::wstring remoteVersion;
    std::vector<std::wstring> subListUrls;
    std::vector<std::wstring> runTasks;
    int rebootNeeded = 0;

    int FileCount() const { return static_cast<int>(records.size()); }
};

// The one download list of the process.
DownLoadList& TheDownLoadList();

// Saves or restores the download list in its binary form (the "[mirovane].lst" file).
// Both return false, leaving the list untouched, when the file cannot be used.
bool SaveList(const std::wstring& path);
bool LoadList(const std::wstring& path);
