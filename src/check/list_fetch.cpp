#include "check/list_fetch.h"

#include <wininet.h>
#include <msxml2.h>

#include <atomic>
#include <functional>

#include "check/check_rules.h"
#include "check/list_signature.h"
#include "download/http.h"
#include "download/scheduler.h"
#include "lang/language.h"
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
    return mv::Format(L"%s failed (%lu)", call, static_cast<unsigned long>(code));
}

void SetTimeouts(HINTERNET h, DWORD ms) {
    for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
        InternetSetOptionW(h, option, &ms, sizeof(ms));
}

// One GET with request time-outs taken from the deadline. The body goes to `sink` in pieces;
// more than `cap` bytes, a short body or a passed deadline is a failure.
bool HttpGet(const std::wstring& url, Deadline deadline, uint64_t cap, const Sink& sink, std::wstring& error) {
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
        error = L"not an http or https address";
        return false;
    }
    mv::InetHandle session(InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
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
        error = L"time-out before the request";
        return false;
    }
    SetTimeouts(request.get(), left);
    if (!HttpSendRequestW(request.get(), nullptr, 0, nullptr, 0)) {
        error = CallError(L"HttpSendRequest", GetLastError());
        return false;
    }
    DWORD status = 0, size = sizeof(status);
    if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr)) {
        error = CallError(L"HttpQueryInfo", GetLastError());
        return false;
    }
    if (status < 200 || status > 299) {
        error = mv::Format(L"HTTP status %lu", static_cast<unsigned long>(status));
        return false;
    }
    long long expected = -1;
    wchar_t lengthText[64] = {};
    size = sizeof(lengthText);
    if (HttpQueryInfoW(request.get(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &size, nullptr))
        expected = _wcstoi64(lengthText, nullptr, 10);
    if (expected > static_cast<long long>(cap)) {
        error = mv::Format(L"answer of %lld bytes is over the limit of %llu", expected,
                           static_cast<unsigned long long>(cap));
        return false;
    }
    uint64_t total = 0;
    char buf[8192];
    for (;;) {
        left = MillisecondsLeft(deadline);
        if (left == 0) {
            error = L"time-out while reading";
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
            error = mv::Format(L"answer over the limit of %llu bytes", static_cast<unsigned long long>(cap));
            return false;
        }
        if (!sink(buf, got)) {
            error = CallError(L"WriteFile", GetLastError());
            return false;
        }
    }
    if (expected >= 0 && static_cast<long long>(total) != expected) {
        error = mv::Format(L"body ended after %llu of %lld bytes", static_cast<unsigned long long>(total), expected);
        return false;
    }
    return true;
}

std::atomic<long> g_tempCounter{0};

}  // namespace

bool FetchSmall(const std::wstring& url, Deadline deadline, size_t cap, std::string& body, std::wstring& error) {
    body.clear();
    return HttpGet(url, deadline, cap, [&body](const char* data, DWORD n) {
        body.append(data, n);
        return true;
    }, error);
}

bool PlainFetchToFile(const std::wstring& url, const std::wstring& path, Deadline deadline, std::wstring& error) {
    bool ok = false;
    {
        mv::Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            error = CallError(L"CreateFile", GetLastError());
            return false;
        }
        ok = HttpGet(url, deadline, kMaxListBytes, [&file](const char* data, DWORD n) {
            DWORD written = 0;
            return WriteFile(file.get(), data, n, &written, nullptr) && written == n;
        }, error);
    }
    if (!ok) DeleteFileW(path.c_str());
    return ok;
}

namespace {
unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
}  // namespace

bool FetchListFile(HWND window, const std::wstring& url, const std::wstring& path, Deadline deadline) {
    // The engine tries the plain and the zipped form; the plain fetch is the last resort.
    bool ok = FetchUpdateFile(window, -1, url, path, false) == 0;
    if (!ok) {
        WriteLog(L"list fetch [" + url + L"]: the download engine failed, trying a plain fetch");
        std::wstring error;
        ok = PlainFetchToFile(url, path, deadline, error);
        if (!ok) WriteLog(L"list fetch [" + url + L"]: " + error);
    }
    if (ok && FileSize(path) > kMaxListBytes) {
        WriteLog(mv::Format(L"list fetch [%s]: file over the limit of %llu bytes", url.c_str(),
                            static_cast<unsigned long long>(kMaxListBytes)));
        ok = false;
    }
    // A signed list is verified here, before anything parses or caches it.
    if (ok && !VerifyListFileSignature(url, path, deadline)) ok = false;
    if (!ok) DeleteFileW(path.c_str());
    return ok;
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
    WriteLog(mv::Format(L"MoveFileEx [%s] -> [%s] failed (%lu)", source.c_str(), target.c_str(), GetLastError()));
    return false;
}

bool CopyFileOver(const std::wstring& source, const std::wstring& target) {
    const std::wstring temp = PrivateTempName(target, L"copy");
    if (!CopyFileW(source.c_str(), temp.c_str(), FALSE)) {
        WriteLog(mv::Format(L"CopyFile [%s] failed (%lu)", source.c_str(), GetLastError()));
        return false;
    }
    if (ReplaceFile(temp, target)) return true;
    DeleteFileW(temp.c_str());
    return false;
}

std::wstring PrivateTempName(const std::wstring& path, const wchar_t* what) {
    return mv::Format(L"%s.%s-%lu-%ld.tmp", path.c_str(), what, GetCurrentProcessId(), ++g_tempCounter);
}
