// Pure rules of signed update lists: where a list's signature lives, the sequence, expiry and
// product checks of a signed list, and the per-file hash rule. Values in, values out; no I/O.
#pragma once
#include <string>

#include "updatelist/download_list.h"
#include "util/utc_time.h"

// The detached signature of a list: ".sig" added to the path, before any "?" query.
std::wstring SignatureUrlOf(const std::wstring& listUrl);

// A sequence text: a positive decimal integer of at most 18 digits, spaces around allowed.
bool ParseSequence(const std::wstring& text, long long& sequence);

// What a signed list says about itself (texts of the root's children, empty when absent).
struct ListTrustValues {
    bool hasSequence = false;
    std::wstring sequence;
    bool hasExpires = false;
    std::wstring expires;
    bool hasGuid = false;
    std::wstring guid;
};
struct ListTrustInput {
    long long installedSequence = 0;  // the highest sequence installed so far (0: none)
    std::wstring expectedGuid;        // [UPDATEINFO] ListGuid; empty: any
    long long now = 0;                // seconds since 1970-01-01, UTC
};
// Why a signed list is refused, or empty when it is accepted: no usable sequence, a sequence
// below the installed one, an unreadable or passed expiry, another product's guid (compared
// trimmed, in any case, braces ignored). `sequence` receives the list's sequence.
std::wstring ListTrustProblem(const ListTrustValues& values, const ListTrustInput& in, long long& sequence);

// Why a file record's sha256 makes it unusable, or empty: a value that is not 64 hexadecimal
// digits, or (when `signedList`) no value on a record that installs a file. Run tasks,
// descriptions and removals carry no file.
std::wstring FileHashProblem(const updatefileinfo& record, bool signedList);
