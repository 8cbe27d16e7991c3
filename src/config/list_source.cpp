#include "config/list_source.h"

#include <mutex>
#include <optional>

#include "config/settings.h"
#include "util/text.h"

ListSource MakeListSource(const ListSettings& s) {
    ListSource src;
    src.configured = s.listUrl;
    src.url = ApplyListParametersWith(s.listUrl, s.parameter1, s.parameter2, s.parameter);
    src.mainUrl = s.mainListUrl.empty() ? std::wstring(kDefaultMainListUrl) : s.mainListUrl;
    src.base = ListBaseOf(src.url);
    src.cacheDir = ListCachePathFor(s.tempDir, s.listUrl, L"");
    src.cacheXml = ListCachePathFor(s.tempDir, s.listUrl, L".xml");
    src.cacheLst = ListCachePathFor(s.tempDir, s.listUrl, L".lst");
    return src;
}

namespace {

std::mutex g_mutex;
std::optional<ListSource> g_source;

ListSource FromSettings() {
    ListSettings s;
    s.listUrl = ReadSetting(L"UPDATEINFO", L"ListURL");
    s.mainListUrl = ReadSetting(L"UPDATEINFO", L"MainListURL");
    s.parameter1 = ReadSetting(L"UPDATEINFO", L"Parameter1");
    s.parameter2 = ReadSetting(L"UPDATEINFO", L"Parameter2");
    s.parameter = ReadSetting(L"UPDATEINFO", L"Parameter");
    s.tempDir = GetTempDir();
    return MakeListSource(s);
}

}  // namespace

ListSource CurrentListSource() {
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        if (g_source) return *g_source;
    }
    ListSource fresh = FromSettings();  // reads settings: outside the lock
    std::lock_guard<std::mutex> hold(g_mutex);
    if (!g_source) g_source = std::move(fresh);
    return *g_source;
}

void ResolveListSource() {
    ListSource fresh = FromSettings();
    std::lock_guard<std::mutex> hold(g_mutex);
    if (g_source) {
        fresh.cacheDir = g_source->cacheDir;
        fresh.cacheXml = g_source->cacheXml;
        fresh.cacheLst = g_source->cacheLst;
    }
    g_source = std::move(fresh);
}

void ResetListSource() {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_source.reset();
}

std::wstring ListCacheDir() { return CurrentListSource().cacheDir; }
std::wstring ListCacheXmlPath() { return CurrentListSource().cacheXml; }
std::wstring ListCacheLstPath() { return CurrentListSource().cacheLst; }
std::wstring ListCacheIniPath() { return ListCacheDir() + L".ini"; }

std::wstring ApplyListParametersWith(const std::wstring& url, const std::wstring& parameter1,
                                     const std::wstring& parameter2, const std::wstring& parameter) {
    std::wstring out = url;
    out = mv::ReplaceAll(out, L"[param1]", parameter1);
    out = mv::ReplaceAll(out, L"{param1}", parameter1);
    out = mv::ReplaceAll(out, L"[param2]", parameter2);
    out = mv::ReplaceAll(out, L"{param2}", parameter2);
    out = mv::ReplaceAll(out, L"[param]", parameter);
    out = mv::ReplaceAll(out, L"{param}", parameter);
    return out;
}

std::wstring ApplyListParameters(const std::wstring& url) {
    return ApplyListParametersWith(url, ReadSetting(L"UPDATEINFO", L"Parameter1"),
                                   ReadSetting(L"UPDATEINFO", L"Parameter2"), ReadSetting(L"UPDATEINFO", L"Parameter"));
}

std::wstring ListBaseOf(const std::wstring& url) {
    // The parameters may hold "/" of their own; the base is the list's directory.
    const std::wstring address = url.substr(0, url.find(L'?'));
    const size_t slash = address.rfind(L'/');
    if (slash == std::wstring::npos || slash == 0) return {};
    if (slash + 2 < address.size()) return address.substr(0, slash);
    return address;
}
