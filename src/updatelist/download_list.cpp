#include "updatelist/download_list.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cwchar>
#include <iterator>

#include "config/settings.h"
#include "lang/language.h"
#include "notify/host_windows.h"
#include "notify/log.h"
#include "util/file_replace.h"
#include "util/files.h"
#include "util/text.h"

const wchar_t* UpdateStageName(int stage) {
    static const wchar_t* const names[] = {
        L"UpdateNone",          L"UpdateCheckRemote", L"UpdateCheckRemoteError", L"UpdateCheckRemoteOk",
        L"UpdateDownload",      L"UpdateDownloadError", L"UpdateDownloadOk",     L"UpdateCheckLocal",
        L"UpdateCheckLocalError", L"UpdateCheckLocalOk", L"UpdateCopy",          L"UpdateCopyError",
        L"UpdateCopyOk",        L"UpdateEnd",
    };
    return stage >= 0 && stage <= UpdateEnd ? names[stage] : L"";
}

DownLoadList& TheDownLoadList() {
    static DownLoadList list;
    return list;
}

std::mutex& RecordMutex() {
    static std::mutex records;
    return records;
}

// --- stage

namespace {
std::atomic<StageHookRunner> g_stageHookRunner{nullptr};
}  // namespace

void SetStageHookRunner(StageHookRunner runner) { g_stageHookRunner = runner; }

void SetStage(int stage) { SetStage(TheDownLoadList(), stage); }

void SetStage(DownLoadList& list, int stage) {
    if (LogTimingOn()) WriteLog(mv::Format(L"stage %d %s", stage, UpdateStageName(stage)));
    BroadcastStage(stage, list.FileCount());
    list.stage = stage;
    if (stage != UpdateEnd) list.reached = stage;
    RunStageHooks(UpdateStageName(stage));
}

void RunStageHooks(const std::wstring& name) {
    const StageHookRunner run = g_stageHookRunner.load();
    if (name.empty() || !run) return;
    std::wstring hook = ReadSetting(L"UpdateEvent", name);
    if (!hook.empty()) run(hook, false);
    hook = ReadSetting(L"UpdateEventWaitClose", name);
    if (!hook.empty()) run(hook, true);
}

// --- records

void ForgetSession(DownLoadList& list) {
    {
        std::lock_guard<std::mutex> hold(RecordMutex());
        list.records.clear();
    }
    list.description.clear();
    list.remoteVersion.clear();
    list.subListUrls.clear();
    list.runTasks.clear();
    list.document.clear();
    list.signedSources.clear();
    list.packagePath.clear();
    list.refused = 0;
}

void AddFileRecord(const updatefileinfo& record, RecordArray& records) {
    updatefileinfo clean = record;
    clean.ver = mv::Trim(mv::ToLower(clean.ver));
    clean.path = mv::Trim(mv::RemoveAll(mv::ReplaceAll(clean.path, L"|", L"\\"), L"._.zip"));
    std::lock_guard<std::mutex> hold(RecordMutex());
    records.push_back(std::move(clean));
}

void SeparateSpecialRecords(DownLoadList& list) {
    std::wstring gathered;
    RecordArray& records = list.records;
    for (size_t i = records.size(); i-- > 0;) {
        if (records[i].action == DescriptionRecord) {
            gathered = records[i].desname + L"\r\n" + gathered;
            records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (records[i].action == RunTaskRecord) {
            list.runTasks.push_back(records[i].path);
            records.erase(records.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    list.description = mv::ReplaceAll(mv::ReplaceAll(gathered, L"\\r\\n", L"\r\n"), L"\\n", L"\r\n");
}

int RecordCount(const RecordArray& records) { return static_cast<int>(records.size()); }

const updatefileinfo* RecordAt(const RecordArray& records, int index) {
    return index >= 0 && index < RecordCount(records) ? &records[static_cast<size_t>(index)] : nullptr;
}

updatefileinfo* RecordAt(RecordArray& records, int index) {
    return index >= 0 && index < RecordCount(records) ? &records[static_cast<size_t>(index)] : nullptr;
}

void AppendRecord(RecordArray& records, const updatefileinfo& record) { records.push_back(record); }

void RemoveAllRecords(RecordArray& records) { records.clear(); }

// --- saved form

namespace {

const wchar_t kEndOfProperties[] = L"!-end------";
// A saved list is a few KB in practice; one bigger than this is not ours, and reading it
// could exhaust a 32-bit process.
constexpr LONGLONG kMaxSavedListBytes = 48LL * 1024 * 1024;  // records and the list's document

class Writer {
public:
    void Int(int32_t v) {
        uint32_t u = static_cast<uint32_t>(v);
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
    void Str(const std::wstring& s) {
        Int(static_cast<int32_t>(s.size()));
        for (wchar_t c : s) {
            out_.push_back(static_cast<char>(c & 0xFF));
            out_.push_back(static_cast<char>((c >> 8) & 0xFF));
        }
    }
    std::string& bytes() { return out_; }

private:
    std::string out_;
};

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    size_t left() const { return in_.size() - pos_; }
    bool Int(int32_t& v) {
        if (left() < 4) return false;
        uint32_t u = 0;
        for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(static_cast<unsigned char>(in_[pos_ + i])) << (8 * i);
        pos_ += 4;
        v = static_cast<int32_t>(u);
        return true;
    }
    bool Str(std::wstring& s) {
        int32_t n = 0;
        if (!Int(n) || n < 0 || static_cast<size_t>(n) > left() / 2) return false;
        s.resize(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i, pos_ += 2)
            s[static_cast<size_t>(i)] = static_cast<wchar_t>(static_cast<unsigned char>(in_[pos_]) |
                                                             static_cast<unsigned char>(in_[pos_ + 1]) << 8);
        return true;
    }

private:
    std::string_view in_;
    size_t pos_ = 0;
};

constexpr wchar_t kHashProperty[] = L"sha256|";
// The list's document travels as a property of its own: two bytes to a code unit, its byte
// count beside it (an odd count leaves the last unit half used).
constexpr wchar_t kDocumentProperty[] = L"document|bytes";
constexpr wchar_t kDocumentSizeProperty[] = L"document|size";

std::wstring PackBytes(std::string_view bytes) {
    std::wstring out((bytes.size() + 1) / 2, L'\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        out[i / 2] = static_cast<wchar_t>(out[i / 2] | static_cast<unsigned char>(bytes[i]) << (i % 2 ? 8 : 0));
    return out;
}

bool UnpackBytes(const std::wstring& packed, const std::wstring& sizeText, std::string& bytes) {
    if (sizeText.empty() || sizeText.size() > 10 || sizeText.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    const unsigned long long size = std::stoull(sizeText);
    if ((size + 1) / 2 != packed.size()) return false;
    bytes.assign(static_cast<size_t>(size), '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((static_cast<unsigned>(packed[i / 2]) >> (i % 2 ? 8 : 0)) & 0xFF);
    return true;
}

constexpr wchar_t kSourceProperty[] = L"source|";

// "source|<n>|<part>" of signed source n.
std::wstring SourceKey(size_t n, const wchar_t* part) { return kSourceProperty + std::to_wstring(n) + L"|" + part; }

// Takes the signed sources out of the properties; false when one is incomplete or garbled.
bool TakeSignedSources(std::map<std::wstring, std::wstring>& properties, std::vector<SignedSource>& sources) {
    for (size_t n = 0;; ++n) {
        const auto role = properties.find(SourceKey(n, L"role"));
        if (role == properties.end()) break;
        SignedSource src;
        if (role->second != L"update" && role->second != L"main") return false;
        src.role = role->second == L"main" ? mv::ListRole::Main : mv::ListRole::Update;
        const auto url = properties.find(SourceKey(n, L"url"));
        const auto bytes = properties.find(SourceKey(n, L"bytes"));
        const auto size = properties.find(SourceKey(n, L"size"));
        const auto sig = properties.find(SourceKey(n, L"sig"));
        if (url == properties.end() || bytes == properties.end() || size == properties.end() || sig == properties.end())
            return false;
        if (!UnpackBytes(bytes->second, size->second, src.bytes)) return false;
        src.url = url->second;
        src.signature = mv::ToUtf8(sig->second);
        sources.push_back(std::move(src));
    }
    // Anything left under the prefix is not a source this program wrote.
    for (auto it = properties.begin(); it != properties.end();)
        it = it->first.rfind(kSourceProperty, 0) == 0 ? properties.erase(it) : std::next(it);
    return true;
}

constexpr size_t kMinRecordBytes = 8 * 4 + 4;  // eight empty strings and the action

}  // namespace

std::string SerializeList(const DownLoadList& list) {
    Writer w;
    std::map<std::wstring, std::wstring> properties = list.properties;
    for (size_t i = 0; i < list.records.size(); ++i)
        if (!list.records[i].sha256.empty()) properties[kHashProperty + std::to_wstring(i)] = list.records[i].sha256;
    properties.erase(kDocumentProperty);
    properties.erase(kDocumentSizeProperty);
    if (!list.document.empty()) {
        properties[kDocumentProperty] = PackBytes(list.document);
        properties[kDocumentSizeProperty] = std::to_wstring(list.document.size());
    }
    for (auto it = properties.begin(); it != properties.end();)
        it = it->first.rfind(kSourceProperty, 0) == 0 ? properties.erase(it) : std::next(it);
    for (size_t n = 0; n < list.signedSources.size(); ++n) {
        const SignedSource& src = list.signedSources[n];
        properties[SourceKey(n, L"role")] = src.role == mv::ListRole::Main ? L"main" : L"update";
        properties[SourceKey(n, L"url")] = src.url;
        properties[SourceKey(n, L"bytes")] = PackBytes(src.bytes);
        properties[SourceKey(n, L"size")] = std::to_wstring(src.bytes.size());
        properties[SourceKey(n, L"sig")] = mv::FromUtf8(src.signature);
    }
    for (const auto& [key, value] : properties) {
        // An entry named like the terminator would end the map early and garble the rest.
        if (key.empty() || key == kEndOfProperties) continue;
        w.Str(key);
        w.Str(value);
    }
    w.Str(kEndOfProperties);
    w.Int(static_cast<int32_t>(list.runTasks.size()));
    for (const std::wstring& task : list.runTasks) w.Str(task);
    w.Str(list.description);
    w.Str(list.listUrlBase);
    w.Str(list.fileUrlPattern);
    w.Str(list.workDir);
    w.Str(list.listGuid);
    w.Int(list.stage);
    w.Int(static_cast<int32_t>(list.records.size()));
    for (const updatefileinfo& r : list.records) {
        for (const std::wstring* s : {&r.url, &r.path, &r.desname, &r.ver, &r.spare, &r.shortcut, &r.shortcuticon,
                                      &r.iconindex})
            w.Str(*s);
        w.Int(r.action);
    }
    return std::move(w.bytes());
}

bool DeserializeList(std::string_view bytes, DownLoadList& list) {
    Reader r(bytes);
    std::map<std::wstring, std::wstring> properties;
    for (;;) {
        std::wstring key, value;
        if (!r.Str(key)) return false;
        if (key == kEndOfProperties) break;
        if (!r.Str(value)) return false;
        if (!key.empty()) properties[key] = value;
    }
    // Counts only bound the loops: the containers grow with what is really read, so a count
    // that lies costs nothing.
    int32_t count = 0;
    if (!r.Int(count) || count < 0 || static_cast<size_t>(count) > r.left() / 4) return false;
    std::vector<std::wstring> tasks;
    for (int32_t i = 0; i < count; ++i) {
        std::wstring t;
        if (!r.Str(t)) return false;
        tasks.push_back(std::move(t));
    }
    std::wstring description, listUrlBase, fileUrlPattern, workDir, listGuid;
    for (std::wstring* s : {&description, &listUrlBase, &fileUrlPattern, &workDir, &listGuid})
        if (!r.Str(*s)) return false;
    int32_t stage = 0;
    if (!r.Int(stage) || stage < UpdateNone || stage > UpdateEnd) return false;
    if (!r.Int(count) || count < 0 || static_cast<size_t>(count) > r.left() / kMinRecordBytes) return false;
    RecordArray records;
    for (int32_t i = 0; i < count; ++i) {
        updatefileinfo rec;
        for (std::wstring* s : {&rec.url, &rec.path, &rec.desname, &rec.ver, &rec.spare, &rec.shortcut,
                                &rec.shortcuticon, &rec.iconindex})
            if (!r.Str(*s)) return false;
        int32_t action = 0;
        if (!r.Int(action)) return false;
        rec.action = action;
        records.push_back(std::move(rec));
    }
    // Nothing of ours follows the records: trailing bytes mean the file is not what it seems.
    if (r.left() != 0) return false;
    std::string document;
    const auto packed = properties.find(kDocumentProperty);
    const auto size = properties.find(kDocumentSizeProperty);
    if ((packed == properties.end()) != (size == properties.end())) return false;
    if (packed != properties.end()) {
        if (!UnpackBytes(packed->second, size->second, document)) return false;
        properties.erase(kDocumentProperty);
        properties.erase(kDocumentSizeProperty);
    }
    std::vector<SignedSource> sources;
    if (!TakeSignedSources(properties, sources)) return false;
    for (auto it = properties.begin(); it != properties.end();) {
        if (it->first.rfind(kHashProperty, 0) != 0) {
            ++it;
            continue;
        }
        const std::wstring number = it->first.substr(wcslen(kHashProperty));
        const size_t index = number.empty() || number.size() > 9 || number.find_first_not_of(L"0123456789") != std::wstring::npos
                                 ? records.size()
                                 : std::stoul(number);
        if (index >= records.size()) return false;
        records[index].sha256 = it->second;
        it = properties.erase(it);
    }

    for (auto& [key, value] : properties) list.properties[key] = std::move(value);
    for (std::wstring& t : tasks) list.runTasks.push_back(std::move(t));
    list.description = std::move(description);
    list.listUrlBase = std::move(listUrlBase);
    list.fileUrlPattern = std::move(fileUrlPattern);
    list.workDir = std::move(workDir);
    list.listGuid = std::move(listGuid);
    list.stage = stage;
    list.document = std::move(document);
    list.signedSources = std::move(sources);
    for (updatefileinfo& rec : records) list.records.push_back(std::move(rec));
    return true;
}

bool SaveListFrom(const DownLoadList& list, const std::wstring& path) {
    // The caller logs a failure with GetLastError, which the write leaves set.
    return mv::WriteFileReplacing(path, SerializeList(list));
}

bool LoadListInto(DownLoadList& list, const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA info{};
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info) &&
        ((static_cast<long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow) > kMaxSavedListBytes) {
        WriteLog(mv::Format(Translate(L"MAIN", L"The saved list [%s] is larger than %lld bytes and is not read").c_str(),
                            path.c_str(), static_cast<long long>(kMaxSavedListBytes)));
        return false;
    }
    std::string bytes;
    if (!mv::ReadFileBytes(path, bytes, kMaxSavedListBytes)) return false;
    return DeserializeList(bytes, list);
}

bool SaveList(const std::wstring& path) { return SaveListFrom(TheDownLoadList(), path); }
bool LoadList(const std::wstring& path) { return LoadListInto(TheDownLoadList(), path); }
