#include "check/list_fetch.h"

#include <msxml2.h>

#include <ctime>
#include <functional>
#include <mutex>
#include <vector>

#include "check/check_rules.h"
#include "check/list_signature.h"
#include "check/list_validators.h"
#include "download/scheduler.h"
#include "lang/language.h"
#include "package/zip_reader.h"
#include "notify/log.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/file_replace.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

// A list into a file, at most kMaxListBytes.
bool GetToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, const std::wstring& headers,
               FetchAnswer& answer, std::wstring& error) {
    return FetchToFile(url, path, deadline, kMaxListBytes, headers, answer, error);
}

unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void LogFetch(const std::wstring& url, const std::wstring& what) {
    WriteLog(mv::Format(Translate(L"MAIN", L"list fetch [%s]: %s").c_str(), url.c_str(), what.c_str()));
}

// The download engine, bounded like the plain fetch.
bool EngineFetch(HWND window, const std::wstring& url, const std::wstring& path, Deadline deadline) {
    DownloadLimits limits;
    limits.maxBytes = kMaxListBytes;
    limits.hasDeadline = true;
    limits.deadline = deadline;
    return FetchUpdateFile(window, -1, url, path, false, limits) == 0;
}

// Item 0 of a zipped list into `target`, at most kMaxListBytes unpacked.
bool UnzipList(const std::wstring& archive, const std::wstring& target, std::wstring& error) {
    ArchiveHandle zip = OpenArchive(archive, nullptr);
    if (!zip) {
        error = mv::Format(Translate(L"MAIN", L"OpenArchive failed (%u)").c_str(), LastArchiveResult());
        return false;
    }
    std::string bytes;
    ArchiveItem item;
    unsigned result = GetArchiveItem(zip, 0, &item);
    if (result == ZR_OK && item.size > kMaxListBytes) result = ZR_MORE;
    std::vector<char> buf(64 * 1024);
    while (result == ZR_OK || result == ZR_MORE) {
        unsigned written = 0;
        result = ExtractItem(zip, 0, buf.data(), static_cast<unsigned>(buf.size()), &written);
        bytes.append(buf.data(), written);
        if (bytes.size() > kMaxListBytes) {
            result = ZR_MORE;
            break;
        }
        if (result == ZR_OK) break;
    }
    CloseArchive(zip);
    if (result == ZR_MORE) {
        error = mv::Format(Translate(L"MAIN", L"unpacked list over the limit of %llu bytes").c_str(), static_cast<unsigned long long>(kMaxListBytes));
        return false;
    }
    if (result != ZR_OK) {
        error = mv::Format(Translate(L"MAIN", L"ExtractItem failed (%u)").c_str(), result);
        return false;
    }
    if (!mv::WriteFileBytes(target, bytes)) {
        error = FailedCallText(L"WriteFile", GetLastError());
        return false;
    }
    return true;
}

std::mutex g_copyCheckMutex;
CachedCopyCheck g_copyCheck;

ListValidators ReadValidators(const std::wstring& copyPath) {
    std::string text;
    if (!mv::ReadFileBytes(copyPath + L".meta", text, 64 * 1024)) return {};
    return ParseValidators(text);
}

long long Today() { return DayStampFromUnixSeconds(static_cast<long long>(std::time(nullptr))); }

}  // namespace

bool PlainFetchToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, std::wstring& error) {
    FetchAnswer answer;
    return GetToFile(url, path, deadline, L"", answer, error);
}

bool FetchListFile(HWND window, const std::wstring& url, const std::wstring& path, Deadline deadline) {
    // The engine tries the plain and the zipped form; the plain fetch is the last resort.
    bool ok = EngineFetch(window, url, path, deadline);
    if (!ok) {
        LogFetch(url, Translate(L"MAIN", L"the download engine failed, trying a plain fetch"));
        std::wstring error;
        ok = PlainFetchToFile(url, path, deadline, error);
        if (!ok) LogFetch(url, error);
    }
    if (ok && FileSize(path) > kMaxListBytes) {
        LogFetch(url, mv::Format(Translate(L"MAIN", L"file over the limit of %llu bytes").c_str(),
                                 static_cast<unsigned long long>(kMaxListBytes)));
        ok = false;
    }
    // A signed list is verified here, before anything parses or caches it.
    if (ok && !VerifyListFileSignature(url, path, deadline)) ok = false;
    if (!ok) DeleteFileW(path.c_str());
    return ok;
}

void SetCachedCopyCheck(CachedCopyCheck check) {
    std::lock_guard<std::mutex> hold(g_copyCheckMutex);
    g_copyCheck = std::move(check);
}

bool CachedCopyUsable(const std::wstring& copyPath, const ListValidators& v, bool full) {
    std::string bytes;
    if (v.url.empty() || !mv::ReadFileBytes(copyPath, bytes, kMaxListBytes + 1)) return false;
    if (bytes.size() != v.size || ContentHash(bytes) != v.hash) return false;
    if (!full) return true;
    if (!IsListFile(copyPath)) return false;
    CachedCopyCheck check;
    {
        std::lock_guard<std::mutex> hold(g_copyCheckMutex);
        check = g_copyCheck;
    }
    return !check || check(copyPath, v.url);
}

bool FetchCachedListFile(HWND window, const std::wstring& url, const std::wstring& copyPath, const std::wstring& path,
                         Deadline deadline) {
    ListValidators v = ReadValidators(copyPath);
    const std::string metaBefore = FormatValidators(v);
    if (v.url != url) {
        // Values of another address (ListURL changed): start afresh.
        v = ListValidators{};
        v.url = url;
    }
    // Size and hash now; the full test once the server has said "not modified".
    const bool copyOk = CachedCopyUsable(copyPath, v, false);
    const long long today = Today();
    const bool zippedFirst = ZippedFormFirst(v, url);
    bool networkFailed = false, gotIt = false, fromCopy = false, zippedGot = false;
    FetchAnswer got;
    for (int round = 0; round < 2 && !gotIt; ++round) {
        const bool zipped = round == 0 ? zippedFirst : !zippedFirst;
        if (zipped && !zippedFirst && !ZippedFormWorthTrying(v, url, today)) continue;
        const std::wstring u = zipped ? url + L"._.zip" : url;
        const std::wstring target = zipped ? mv::PrivateTempNameBeside(path, L"zip") : path;
        // Only a copy that is still there and whole may stand for the answer "not modified".
        std::wstring headers = copyOk ? ConditionalHeaders(v, url, zipped) : std::wstring();
        for (int attempt = 0; attempt < 2; ++attempt) {
            FetchAnswer answer;
            std::wstring error;
            const bool ok = GetToFile(u, target, deadline, headers, answer, error);
            if (ok && answer.status == 304) {
                if (CopyFileW(copyPath.c_str(), path.c_str(), FALSE) && CachedCopyUsable(path, v, true)) {
                    gotIt = fromCopy = true;
                    zippedGot = zipped;
                    break;
                }
                // The copy went away meanwhile: ask for the whole list.
                DeleteFileW(path.c_str());
                headers.clear();
                continue;
            }
            if (!ok) {
                // No answer, a body cut short or a server error: worth the engine's retries.
                if (answer.status == 0 || (answer.status >= 200 && answer.status < 300) || answer.status >= 500)
                    networkFailed = true;
                if (zipped && answer.status == 404) {
                    v.zipMissingDay = today;
                    // The form the validators describe is gone: they describe nothing now.
                    if (v.zipped) {
                        v.zipped = false;
                        v.etag.clear();
                        v.lastModified.clear();
                        v.size = v.hash = 0;
                    }
                }
                if (!zipped || answer.status != 404) LogFetch(u, error);
                break;
            }
            got = answer;
            if (zipped) {
                std::wstring unzipError;
                const bool unzipped = UnzipList(target, path, unzipError);
                DeleteFileW(target.c_str());
                if (!unzipped) {
                    LogFetch(u, unzipError);
                    DeleteFileW(path.c_str());
                    break;
                }
            }
            gotIt = true;
            zippedGot = zipped;
            break;
        }
    }

    // A signed list is verified before it is kept or parsed, a copy that stands for "not
    // modified" again; a refused list is neither kept nor fetched another way.
    if (gotIt && !VerifyListFileSignature(url, path, deadline)) return false;
    if (gotIt && !fromCopy) {
        // Keep a copy of what the server sent, with the values to ask about it next time.
        std::string bytes;
        if (mv::ReadFileBytes(path, bytes, kMaxListBytes + 1) && CopyFileOver(path, copyPath)) {
            ListValidators fresh;
            fresh.url = url;
            fresh.etag = ValidatorUsable(got.etag) ? got.etag : std::wstring();
            fresh.lastModified = ValidatorUsable(got.lastModified) ? got.lastModified : std::wstring();
            fresh.zipped = zippedGot;
            fresh.size = bytes.size();
            fresh.hash = ContentHash(bytes);
            fresh.zipMissingDay = v.zipMissingDay;
            v = fresh;
        }
    } else if (gotIt) {
        v.zipped = zippedGot;
    }
    if (FormatValidators(v) != metaBefore) {
        const std::wstring metaTemp = mv::PrivateTempNameBeside(copyPath + L".meta", L"meta");
        if (mv::WriteFileBytes(metaTemp, FormatValidators(v)))
            ReplaceFile(metaTemp, copyPath + L".meta");
        else
            DeleteFileW(metaTemp.c_str());
    }
    if (gotIt) return true;
    // The engine reconnects, resumes and tries the escaped address.
    if (networkFailed && MillisecondsLeft(deadline) > 0) {
        LogFetch(url, Translate(L"MAIN", L"the plain fetch failed, trying the download engine"));
        if (EngineFetch(window, url, path, deadline) && FileSize(path) <= kMaxListBytes)
            return VerifyListFileSignature(url, path, deadline);
    }
    DeleteFileW(path.c_str());
    return false;
}

bool IsListFile(const std::wstring& path) {
    mv::ComInit com;
    mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
    if (!doc || mv::LoadXmlFile(doc.get(), path) != mv::XmlLoad::Ok) return false;
    mv::ComPtr<IXMLDOMNode> child;
    doc->get_firstChild(child.put());
    while (child) {
        DOMNodeType type = NODE_INVALID;
        child->get_nodeType(&type);
        if (type == NODE_ELEMENT) {
            const std::wstring name = mv::NodeName(child.get());
            if (name == L"update" || name == L"updates" || name == L"mirovane") return true;
        }
        mv::ComPtr<IXMLDOMNode> next;
        child->get_nextSibling(next.put());
        child = std::move(next);
    }
    return false;
}

bool ReplaceFile(const std::wstring& source, const std::wstring& target) {
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    WriteLog(mv::Format(Translate(L"MAIN", L"MoveFileEx [%s] -> [%s] failed (%lu)").c_str(), source.c_str(), target.c_str(), GetLastError()));
    return false;
}

bool CopyFileOver(const std::wstring& source, const std::wstring& target) {
    std::wstring failure;
    if (mv::CopyFileReplacing(source, target, &failure)) return true;
    WriteLog(failure);
    return false;
}
