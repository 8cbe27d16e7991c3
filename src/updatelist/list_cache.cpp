#include "updatelist/list_cache.h"

#include <windows.h>
#include <msxml2.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <cstdlib>

#include "config/global_values.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "package/zip_reader.h"
#include "updatelist/download_list.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

const char kSettingsPackagePassword[] = "Mirovane-Fields-2011";
const wchar_t kSettingsPackageEntry[] = L"fields.xml";

namespace {

std::atomic<int> g_filesAtOnce{8};
std::atomic<int> g_connectionsPerFile{8};

// The entry is a handful of values; anything far larger is not a settings package.
constexpr uint64_t kMaxPackageEntry = 1 << 20;

long long ReadStamp() { return _wcstoi64(ReadSetting(L"Mirovane", L"OwerCheckTm").c_str(), nullptr, 10); }

void WriteStamp(long long stamp) {
    WriteSetting(L"Mirovane", L"OwerCheckTm", mv::Format(L"%ld", static_cast<long>(static_cast<int32_t>(stamp))));
}

}  // namespace

long long HourStampAt(const SYSTEMTIME& localTime) {
    SYSTEMTIME base{};
    base.wYear = 2011;
    base.wMonth = 1;
    base.wDay = 1;
    FILETIME a{}, b{};
    SystemTimeToFileTime(&localTime, &a);
    SystemTimeToFileTime(&base, &b);
    const long long ta = (static_cast<long long>(a.dwHighDateTime) << 32) | a.dwLowDateTime;
    const long long tb = (static_cast<long long>(b.dwHighDateTime) << 32) | b.dwLowDateTime;
    return (ta - tb) / 10000000LL / 3600;
}

long long HourStamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return HourStampAt(now);
}

void WriteCheckStamp(long long stamp) { WriteStamp(stamp); }

std::wstring SettingsPackagePath() { return ListCacheDir() + L".bin"; }

int DownloadFilesAtOnce() { return g_filesAtOnce.load(); }
int DownloadConnectionsPerFile() { return g_connectionsPerFile.load(); }

void ListCacheBookkeepingAt(long long now) {
    if (TheDownLoadList().stage < UpdateCheckRemoteOk) return;
    const long long stamp = ReadStamp();
    if (std::llabs(now - stamp) > 48 || GlobalValues::Get(L"fromqwebsvr") == L"true") RemoveFile(SettingsPackagePath());
    WriteStamp(now);
}

void ListCacheBookkeeping() { ListCacheBookkeepingAt(HourStamp()); }

bool ApplySettingsPackageText(const std::wstring& xml) {
    mv::ComInit com;
    mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
    mv::ComPtr<IXMLDOMElement> root;
    if (!doc || mv::LoadXmlText(doc.get(), xml) != mv::XmlLoad::Ok || doc->get_documentElement(root.put()) != S_OK ||
        !root || mv::NodeName(root.get()) != L"fields")
        return false;
    bool result = false;
    mv::ComPtr<IXMLDOMNode> child;
    root->get_firstChild(child.put());
    while (child) {
        DOMNodeType type = NODE_INVALID;
        child->get_nodeType(&type);
        // The package lies where any user may write, so it carries only the values it is for;
        // anything else (a hook key, a setting's cache key, a run-time value) is ignored. None
        // of these names is a section name followed by a key name, so no setting reads them.
        static const wchar_t* const kPackageKeys[] = {L"threadcount", L"filethread", L"updateurl", L"fromqwebsvr"};
        const std::wstring name = type == NODE_ELEMENT ? mv::NodeName(child.get()) : std::wstring();
        if (std::find(std::begin(kPackageKeys), std::end(kPackageKeys), name) != std::end(kPackageKeys)) {
            std::wstring v = mv::ReplaceAll(mv::ReplaceAll(mv::NodeText(child.get()), L"\r\n", L"\n"), L"\n", L"\r\n");
            GlobalValues::Set(name, v);
            result = true;
        }
        mv::ComPtr<IXMLDOMNode> next;
        child->get_nextSibling(next.put());
        child = std::move(next);
    }
    return result;
}

bool LoadSettingsPackage() {
    ArchiveHandle archive = OpenArchive(SettingsPackagePath(), kSettingsPackagePassword);
    if (!archive) return false;
    bool result = false;
    ArchiveItem item;
    const int index = FindArchiveItem(archive, kSettingsPackageEntry, true, &item);
    if (index >= 0 && item.size > 0 && item.size <= kMaxPackageEntry) {
        std::string buf(static_cast<size_t>(item.size) + 10, '\0');
        unsigned got = 0;
        if (ExtractItem(archive, index, buf.data(), static_cast<unsigned>(item.size), &got) == ZR_OK)
            result = ApplySettingsPackageText(mv::FromCodePage(std::string_view(buf.data(), got), CP_ACP));
    }
    ApplyDownloadLimits();
    CloseArchive(archive);
    return result;
}

void ApplyDownloadLimits() {
    auto limit = [](const wchar_t* key, std::atomic<int>& value, int most) {
        if (auto v = GlobalValues::Find(key)) value = static_cast<int>(mv::ParseLong(*v));
        value = value < 1 ? 1 : (value > most ? most : value.load());
    };
    limit(L"threadcount", g_filesAtOnce, 50);
    limit(L"filethread", g_connectionsPerFile, 100);
}
