// Pure rules of the remote check: the version page, the limits that keep
// a hostile server from filling memory or disk, the record-path rules, the checksum reply and
// the comparison of a remote list with the installed one. Values in, values out; no I/O.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "config/list_source.h"
#include "updatelist/download_list.h"

// What a server may send before the check gives up on it.
constexpr uint64_t kMaxListBytes = 32ull * 1024 * 1024;     // a list or main list, plain or zipped
constexpr size_t kMaxVersionPageBytes = 64 * 1024;          // the version page
constexpr size_t kMaxCandidateLists = 16;                   // list addresses taken from a version page
constexpr size_t kMaxDescriptionChars = 64 * 1024;          // the description shown to the user
constexpr size_t kMaxVersionChars = 256;                    // a version text
constexpr size_t kMaxChecksumReplyBytes = 1024;             // what the checksum service may answer

// What a version page names.
struct VersionPage {
    std::wstring version;              // text of the first <ver> element, trimmed; empty when none
    std::vector<std::wstring> urls;    // texts of the <url> elements, trimmed, in page order
    std::vector<std::wstring> notes;   // why something was left out (for the log)
};
// Reads a version page (ANSI code page bytes). Tag names match in any case; values keep their
// case, are trimmed (line breaks included, so a value on the line after its tag is found), and
// end at the next "<". Only http and https addresses are taken, at most kMaxCandidateLists; a
// version longer than kMaxVersionChars is not taken.
VersionPage ParseVersionPage(std::string_view page);

// Why a record's path cannot name a file below the download directory, or empty when it can:
// empty, rooted, drive, UNC or device-namespace forms, ".." parts, ":" (streams), "*", "?",
// control characters and device names.
std::wstring RecordPathProblem(const std::wstring& path);
// Why an install target (a desname item before or after macro expansion) is refused, or
// empty: UNC and device-namespace forms, streams (a ":" other than a drive's), ".." parts,
// "*", "?" and device names. Absolute drive paths and macros are allowed.
std::wstring InstallTargetProblem(const std::wstring& target);
// The desname items of a record (separated by ";", "," or "|"), empty items left out.
std::vector<std::wstring> DesnameItems(const std::wstring& desname);
// The first problem of a file record (path, then each desname item), or empty.
std::wstring FileRecordProblem(const updatefileinfo& record);

// The checksum service: query address and reply.
std::wstring ChecksumQueryUrl(const std::wstring& service, const std::wstring& path);
// The reply body as text: UTF-16LE (with or without BOM) or 8-bit, trimmed.
std::wstring DecodeChecksumReply(std::string_view body);
// A usable reply is exactly 32 characters and not all zeros.
bool ChecksumUsable(const std::wstring& reply);
// The substitute version: a GUID as 32 hexadecimal digits, the third group in lower case.
std::wstring SubstituteVersion(const GUID& guid);

// Decides which remote records go to the download list.
struct CompareInput {
    bool checkLostFiles = false;
    // Full install targets of a record (first one is the default target when desname is empty).
    std::function<std::vector<std::wstring>(const updatefileinfo&)> targetsOf;
    // True when the target exists on disk; called only for targets without a problem.
    std::function<bool(const std::wstring&)> targetExists;
};
struct CompareResult {
    RecordArray update;                  // in remote-list order
    std::vector<std::wstring> refused;   // one log text per refused record
};
CompareResult CompareRecords(const RecordArray& remote, const RecordArray& installed, const CompareInput& in);

// The quick way reads the cached list instead of downloading it.
bool QuickCheckApplies(const std::wstring& runMode, bool quickSetting, bool versionPage);

// A description longer than kMaxDescriptionChars is cut there; true when it was cut.
bool CapDescription(std::wstring& description);
