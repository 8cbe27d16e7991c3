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

// Item 0 of a zipped list, at most kMaxListBytes unpacked.
bool UnzipList(const std::wstring& archive, std::string& out, std::wstring& error) {
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
    out = std::move(bytes);
    return true;
}

// Takes what a fetch left in `path` into memory and removes the file: from here on only
// these bytes count.
bool TakeFile(const std::wstring& path, std::string& bytes, std::wstring& error) {
    const bool ok = mv::ReadFileBytes(path, bytes, static_cast<long long>(kMaxListBytes) + 1);
    if (!ok) error = FailedCallText(L"ReadFile", GetLastError());
    DeleteFileW(path.c_str());
    if (ok && bytes.size() > kMaxListBytes) {
        error = mv::Format(Translate(L"MAIN", L"file over the limit of %llu bytes").c_str(),
                           static_cast<unsigned long long>(kMaxListBytes));
        return false;
    }
    return ok;
}

// The engine's fetch, taken into memory.
bool EngineFetchBytes(HWND window, const std::wstring& url, const std::wstring& scratch, Deadline deadline,
                      std::string& bytes) {
    std::wstring error;
    if (!EngineFetch(window, url, scratch, deadline)) {
        DeleteFileW(scratch.c_str());
        return false;
    }
    if (TakeFile(scratch, bytes, error)) return true;
    LogFetch(url, error);
    return false;
}

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

bool FetchList(HWND window, const std::wstring& url, const std::wstring& scratch, Deadline deadline, std::string& bytes,
               std::string* signature) {
    // The engine tries the plain and the zipped form; the plain fetch is the last resort.
    bool ok = EngineFetchBytes(window, url, scratch, deadline, bytes);
    if (!ok) {
        LogFetch(url, Translate(L"MAIN", L"the download engine failed, trying a plain fetch"));
        std::wstring error;
        ok = PlainFetchToFile(url, scratch, deadline, error) && TakeFile(scratch, bytes, error);
        if (!ok) LogFetch(url, error);
    }
    // A signed list is verified here, before anything parses or caches it.
    if (ok && !VerifyListBytes(url, mv::ListRole::Update, bytes, deadline, signature)) ok = false;
    if (!ok) bytes.clear();
    return ok;
}

bool CachedCopyUsable(std::string_view bytes, const ListValidators& v, bool full) {
    if (v.url.empty() || bytes.size() > kMaxListBytes) return false;
    if (bytes.size() != v.size || ContentHash(bytes) != v.hash) return false;
    return !full || IsListBytes(bytes);
}

bool FetchCachedList(HWND window, const std::wstring& url, mv::ListRole role, const std::wstring& copyPath,
                     const std::wstring& scratch, Deadline deadline, std::string& bytes, std::string* signature) {
    bytes.clear();
    ListValidators v = ReadValidators(copyPath);
    const std::string metaBefore = FormatValidators(v);
    if (v.url != url) {
        // Values of another address (ListURL changed): start afresh.
        v = ListValidators{};
        v.url = url;
    }
    // The copy is read once, before the request: a "not modified" answer stands for exactly
    // these bytes. Size and hash now; the full test once the server has said so.
    std::string copy;
    const bool copyOk = mv::ReadFileBytes(copyPath, copy, static_cast<long long>(kMaxListBytes) + 1) &&
                        CachedCopyUsable(copy, v, false);
    const long long today = Today();
    const bool zippedFirst = ZippedFormFirst(v, url);
    bool networkFailed = false, gotIt = false, fromCopy = false, zippedGot = false;
    FetchAnswer got;
    for (int round = 0; round < 2 && !gotIt; ++round) {
        const bool zipped = round == 0 ? zippedFirst : !zippedFirst;
        if (zipped && !zippedFirst && !ZippedFormWorthTrying(v, url, today)) continue;
        const std::wstring u = zipped ? url + L"._.zip" : url;
        // Only a copy that is whole may stand for the answer "not modified".
        std::wstring headers = copyOk ? ConditionalHeaders(v, url, zipped) : std::wstring();
        for (int attempt = 0; attempt < 2; ++attempt) {
            FetchAnswer answer;
            std::wstring error;
            const bool ok = GetToFile(u, scratch, deadline, headers, answer, error);
            if (ok && answer.status == 304) {
                DeleteFileW(scratch.c_str());
                if (CachedCopyUsable(copy, v, true)) {
                    bytes = copy;
                    gotIt = fromCopy = true;
                    zippedGot = zipped;
                    break;
                }
                // The copy is not a list after all: ask for the whole list.
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
            const bool taken = zipped ? UnzipList(scratch, bytes, error) : TakeFile(scratch, bytes, error);
            DeleteFileW(scratch.c_str());
            if (!taken) {
                LogFetch(u, error);
                bytes.clear();
                break;
            }
            gotIt = true;
            zippedGot = zipped;
            break;
        }
    }

    // A signed list is verified before it is kept or parsed, a copy that stands for "not
    // modified" again; a refused list is neither kept nor fetched another way.
    if (gotIt && !VerifyListBytes(url, role, bytes, deadline, signature)) {
        bytes.clear();
        return false;
    }
    if (gotIt && !fromCopy) {
        // Keep a copy of what the server sent, with the values to ask about it next time.
        std::wstring failure;
        if (mv::WriteFileReplacing(copyPath, bytes, &failure)) {
            ListValidators fresh;
            fresh.url = url;
            fresh.etag = ValidatorUsable(got.etag) ? got.etag : std::wstring();
            fresh.lastModified = ValidatorUsable(got.lastModified) ? got.lastModified : std::wstring();
            fresh.zipped = zippedGot;
            fresh.size = bytes.size();
            fresh.hash = ContentHash(bytes);
            fresh.zipMissingDay = v.zipMissingDay;
            v = fresh;
        } else {
            WriteLog(failure);
        }
    } else if (gotIt) {
        v.zipped = zippedGot;
    }
    if (FormatValidators(v) != metaBefore && !mv::WriteFileReplacing(copyPath + L".meta", FormatValidators(v)))
        WriteLog(mv::Format(L"the validators of [%s] were not kept (%lu)", copyPath.c_str(), GetLastError()));
    if (gotIt) return true;
    // The engine reconnects, resumes and tries the escaped address.
    if (networkFailed && MillisecondsLeft(deadline) > 0) {
        LogFetch(url, Translate(L"MAIN", L"the plain fetch failed, trying the download engine"));
        if (EngineFetchBytes(window, url, scratch, deadline, bytes) && VerifyListBytes(url, role, bytes, deadline, signature))
            return true;
    }
    bytes.clear();
    return false;
}

bool IsListBytes(std::string_view bytes) {
    mv::ComInit com;
    mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
    if (!doc || mv::LoadXmlBytes(doc.get(), bytes) != mv::XmlLoad::Ok) return false;
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
