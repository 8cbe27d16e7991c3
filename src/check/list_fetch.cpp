#include "check/list_fetch.h"

#include <wininet.h>
#include <msxml2.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <vector>

#include "check/check_rules.h"
#include "check/list_signature.h"
#include "check/list_validators.h"
#include "download/http.h"
#include "download/scheduler.h"
#include "lang/language.h"
#include "package/zip_reader.h"
#include "notify/log.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

Deadline DeadlineIn(long seconds) { return CheckClock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0); }

DWORD MillisecondsLeft(Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - CheckClock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left < 1 ? 1 : left);
}

namespace {

using Sink = std::function<bool(const char*, DWORD)>;

std::wstring CallError(const wchar_t* call, DWORD code) {
    return mv::Format(Translate(L"MAIN", L"%s failed (%lu)").c_str(), call, static_cast<unsigned long>(code));
}

void SetTimeouts(HINTERNET h, DWORD ms) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(h, option, &ms, sizeof(ms));
}

// What a GET learnt besides its body.
struct HttpAnswer {
    DWORD status = 0;           // 0: no answer at all (a network failure)
    std::wstring etag, lastModified;
};

// One GET with request time-outs taken from the deadline. The body goes to `sink` in pieces;
// more than `cap` bytes, a short body or a passed deadline is a failure. `headers` (lines
// ending in CR LF, or empty) go with the request; a 304 answer is a success without a body.
bool HttpGet(const std::wstring& url, Deadline deadline, uint64_t cap, const std::wstring& headers, bool configuredProxy,
             const Sink& sink, HttpAnswer& answer, std::wstring& error) {
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    wchar_t host[256] = {}, path[4096] = {}, extra[4096] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 4096;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = 4096;
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts)) {
        error = CallError(L"InternetCrackUrl", GetLastError());
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) {
        error = Translate(L"MAIN", L"not an http or https address");
        return false;
    }
    // Lists go through the configured proxy as the download engine's do (a bad value shows its
    // box, or only a log line in the hidden copy); the small fetches never use it.
    mv::InetHandle session(configuredProxy ? OpenSession(L"")
                                           : InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
        error = CallError(L"InternetOpen", GetLastError());
        return false;
    }
    mv::InetHandle connection(
        InternetConnectW(session.get(), host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        error = CallError(L"InternetConnect", GetLastError());
        return false;
    }
    const std::wstring object = std::wstring(path) + extra;
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
    mv::InetHandle request(
        HttpOpenRequestW(connection.get(), L"GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0));
    if (!request) {
        error = CallError(L"HttpOpenRequest", GetLastError());
        return false;
    }
    DWORD left = MillisecondsLeft(deadline);
    if (left == 0) {
        error = Translate(L"MAIN", L"time-out before the request");
        return false;
    }
    SetTimeouts(request.get(), left);
    if (!HttpSendRequestW(request.get(), headers.empty() ? nullptr : headers.c_str(),
                          headers.empty() ? 0 : static_cast<DWORD>(headers.size()), nullptr, 0)) {
        error = CallError(L"HttpSendRequest", GetLastError());
        return false;
    }
    DWORD status = 0, size = sizeof(status);
    if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
        error = CallError(L"HttpQueryInfo", GetLastError());
        return false;
    }
    answer.status = status;
    if (!ServerTagSeen() && ResponseHeader(request.get(), HTTP_QUERY_SERVER) == L"mirovane2.xx") SetServerTagSeen();
    if (status == 304 && !headers.empty()) return true;
    if (status < 200 || status > 299) {
        error = mv::Format(Translate(L"MAIN", L"HTTP status %lu").c_str(), static_cast<unsigned long>(status));
        return false;
    }
    answer.etag = ResponseHeader(request.get(), HTTP_QUERY_ETAG);
    answer.lastModified = ResponseHeader(request.get(), HTTP_QUERY_LAST_MODIFIED);
    long long expected = -1;
    wchar_t lengthText[64] = {};
    size = sizeof(lengthText);
    if (HttpQueryInfoW(request.get(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &size, nullptr))
        expected = _wcstoi64(lengthText, nullptr, 10);
    if (expected > static_cast<long long>(cap)) {
        error = mv::Format(Translate(L"MAIN", L"answer of %lld bytes is over the limit of %llu").c_str(), expected,
                           static_cast<unsigned long long>(cap));
        return false;
    }
    uint64_t total = 0;
    char buf[8192];
    for (;;) {
        left = MillisecondsLeft(deadline);
        if (left == 0) {
            error = Translate(L"MAIN", L"time-out while reading");
            return false;
        }
        SetTimeouts(request.get(), left);
        DWORD got = 0;
        if (!InternetReadFile(request.get(), buf, sizeof(buf), &got)) {
            error = CallError(L"InternetReadFile", GetLastError());
            return false;
        }
        if (got == 0) break;
        total += got;
        if (total > cap) {
            error = mv::Format(Translate(L"MAIN", L"answer over the limit of %llu bytes").c_str(), static_cast<unsigned long long>(cap));
            return false;
        }
        if (!sink(buf, got)) {
            error = CallError(L"WriteFile", GetLastError());
            return false;
        }
    }
    if (expected >= 0 && static_cast<long long>(total) != expected) {
        error = mv::Format(Translate(L"MAIN", L"body ended after %llu of %lld bytes").c_str(), static_cast<unsigned long long>(total), expected);
        return false;
    }
    return true;
}

std::atomic<long> g_tempCounter{0};

}  // namespace

bool FetchSmall(const std::wstring& url, Deadline deadline, size_t cap, std::string& body, std::wstring& error) {
    body.clear();
    HttpAnswer answer;
    return HttpGet(url, deadline, cap, L"", false, [&body](const char* data, DWORD n) {
        body.append(data, n);
        return true;
    }, answer, error);
}

namespace {

// GET into a file (created or truncated), at most kMaxListBytes; the file is removed again on
// failure and on a 304 (which leaves `answer.status` 304).
bool GetToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, const std::wstring& headers,
               HttpAnswer& answer, std::wstring& error) {
    bool ok = false;
    {
        mv::Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = CallError(L"CreateFile", GetLastError());
            return false;
        }
        ok = HttpGet(url, deadline, kMaxListBytes, headers, true, [&file](const char* data, DWORD n) {
            DWORD written = 0;
            return WriteFile(file.get(), data, n, &written, nullptr) && written == n;
        }, answer, error);
    }
    if (!ok || answer.status == 304) DeleteFileW(path.c_str());
    return ok;
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
        error = CallError(L"WriteFile", GetLastError());
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
    HttpAnswer answer;
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
    HttpAnswer got;
    for (int round = 0; round < 2 && !gotIt; ++round) {
        const bool zipped = round == 0 ? zippedFirst : !zippedFirst;
        if (zipped && !zippedFirst && !ZippedFormWorthTrying(v, url, today)) continue;
        const std::wstring u = zipped ? url + L"._.zip" : url;
        const std::wstring target = zipped ? PrivateTempName(path, L"zip") : path;
        // Only a copy that is still there and whole may stand for the answer "not modified".
        std::wstring headers = copyOk ? ConditionalHeaders(v, url, zipped) : std::wstring();
        for (int attempt = 0; attempt < 2; ++attempt) {
            HttpAnswer answer;
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
        const std::wstring metaTemp = PrivateTempName(copyPath + L".meta", L"meta");
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
    const std::wstring temp = PrivateTempName(target, L"copy");
    if (!CopyFileW(source.c_str(), temp.c_str(), FALSE)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"CopyFile [%s] failed (%lu)").c_str(), source.c_str(), GetLastError()));
        return false;
    }
    if (ReplaceFile(temp, target)) return true;
    DeleteFileW(temp.c_str());
    return false;
}

std::wstring PrivateTempName(const std::wstring& path, const wchar_t* what) {
    return mv::Format(L"%s.%s-%lu-%ld.tmp", path.c_str(), what, GetCurrentProcessId(), ++g_tempCounter);
}
