#include "updatelist/list_cache.h"

#include <windows.h>
#include <msxml2.h>
#include <shellapi.h>

#include <atomic>
#include <cstdlib>

#include "config/global_values.h"
#include "config/settings.h"
#include "download/http.h"
#include "package/zip_reader.h"
#include "updatelist/download_list.h"
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

class BStr {
public:
    explicit BStr(const std::wstring& s) : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
    BStr() = default;
    ~BStr() { SysFreeString(b_); }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;
    BSTR get() const { return b_; }
    BSTR* put() { SysFreeString(b_); b_ = nullptr; return &b_; }
    std::wstring str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

private:
    BSTR b_ = nullptr;
};

// {2933BF90-7B36-11D2-B20E-00C04F983E60}
const CLSID kClsidDomDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// IXMLDOMDocument2 {2933BF95-7B36-11D2-B20E-00C04F983E60}, missing from MinGW's uuid library.
const IID kIidDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

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

void RefreshListInBackground() {
    WriteStamp(HourStamp());
    const std::wstring exe = mv::ModulePath(), dir = GetAppDir();
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.lpFile = exe.c_str();
    sei.lpParameters = ServerTagSeen() ? L"downparam1" : L"downparam0";
    sei.lpDirectory = dir.c_str();
    sei.nShow = SW_HIDE;
    // Nobody waits for the copy; its handle is only released.
    if (ShellExecuteExW(&sei) && sei.hProcess) CloseHandle(sei.hProcess);
}

bool ApplySettingsPackageText(const std::wstring& xml) {
    const HRESULT init = CoInitialize(nullptr);
    bool result = false;
    {
        mv::ComPtr<IXMLDOMDocument> doc;
        if (SUCCEEDED(CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                       reinterpret_cast<void**>(doc.put())))) {
            // A package carries plain values: no DTD, nothing fetched from elsewhere.
            doc->put_validateOnParse(VARIANT_FALSE);
            doc->put_resolveExternals(VARIANT_FALSE);
            mv::ComPtr<IXMLDOMDocument2> doc2;
            if (SUCCEEDED(doc->QueryInterface(kIidDomDocument2, reinterpret_cast<void**>(doc2.put())))) {
                VARIANT on;
                VariantInit(&on);
                on.vt = VT_BOOL;
                on.boolVal = VARIANT_TRUE;
                BStr prop(L"ProhibitDTD");
                doc2->setProperty(prop.get(), on);
            }
            VARIANT_BOOL ok = VARIANT_FALSE;
            BStr text(xml);
            mv::ComPtr<IXMLDOMElement> root;
            BStr rootName;
            if (SUCCEEDED(doc->loadXML(text.get(), &ok)) && ok == VARIANT_TRUE &&
                doc->get_documentElement(root.put()) == S_OK && root &&
                SUCCEEDED(root->get_nodeName(rootName.put())) && rootName.str() == L"fields") {
                mv::ComPtr<IXMLDOMNode> child;
                root->get_firstChild(child.put());
                while (child) {
                    DOMNodeType type = NODE_INVALID;
                    child->get_nodeType(&type);
                    if (type == NODE_ELEMENT) {
                        BStr name, value;
                        child->get_nodeName(name.put());
                        child->get_text(value.put());
                        std::wstring v = mv::ReplaceAll(mv::ReplaceAll(value.str(), L"\r\n", L"\n"), L"\n", L"\r\n");
                        GlobalValues::Set(name.str(), v);
                        result = true;
                    }
                    mv::ComPtr<IXMLDOMNode> next;
                    child->get_nextSibling(next.put());
                    child = std::move(next);
                }
            }
        }
    }
    if (SUCCEEDED(init)) CoUninitialize();
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
    auto limit = [](const wchar_t* key, std::atomic<int>& value, int most) {
        if (auto v = GlobalValues::Find(key)) value = static_cast<int>(mv::ParseLong(*v));
        value = value < 1 ? 1 : (value > most ? most : value.load());
    };
    limit(L"threadcount", g_filesAtOnce, 50);
    limit(L"filethread", g_connectionsPerFile, 100);
    CloseArchive(archive);
    return result;
}
