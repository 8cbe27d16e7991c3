#include "download/file_hash.h"

#include "lang/language.h"
#include "notify/log.h"
#include "util/crypto.h"
#include "util/text.h"

bool DownloadedFileMatchesHash(const updatefileinfo& record, const std::wstring& path) {
    const std::wstring expected = mv::ToLower(mv::Trim(record.sha256));
    if (expected.empty()) return true;
    std::string digest;
    std::wstring error;
    if (!mv::Sha256OfFile(path, digest, error)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"sha256 of [%s] could not be computed: %s").c_str(), path.c_str(),
                            error.c_str()));
        return false;
    }
    const std::wstring actual = mv::EncodeHex(digest);
    if (actual == expected) return true;
    WriteLog(mv::Format(Translate(L"MAIN", L"sha256 mismatch [%s]: the list names %s, the download has %s").c_str(),
                        record.path.c_str(), expected.c_str(), actual.c_str()));
    return false;
}
