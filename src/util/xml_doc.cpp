#include "util/xml_doc.h"

#include <ole2.h>
#include <shlwapi.h>

#include <algorithm>

#include "util/files.h"
#include "util/text.h"

namespace mv {

namespace {

// DOMDocument and IXMLDOMDocument2, spelled out: the import library lacks the second.
const CLSID kClsidDomDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIidDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Larger list files are refused rather than read whole into a 32-bit process.
constexpr LONGLONG kMaxXmlFileBytes = 256LL * 1024 * 1024;

void SetDocProperty(IXMLDOMDocument2* doc, const wchar_t* name, VARIANT value) {
    Bstr n(name);
    doc->setProperty(n.get(), value);  // older objects refuse unknown names; the guards below still hold
}

bool EqualsNoCaseAscii(char a, char b) {
    auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
    return lower(static_cast<unsigned char>(a)) == lower(static_cast<unsigned char>(b));
}

// Looks for "<!DOCTYPE" (any case) with the given byte width and byte order.
bool HasDoctype(std::string_view bytes, size_t width, bool bigEndian) {
    static const char kWord[] = "<!DOCTYPE";
    const size_t n = sizeof(kWord) - 1;
    if (bytes.size() < n * width) return false;
    for (size_t start = 0; start + n * width <= bytes.size(); ++start) {
        bool hit = true;
        for (size_t i = 0; i < n && hit; ++i) {
            size_t at = start + i * width;
            char c = bytes[at + (width == 2 && bigEndian ? 1 : 0)];
            char zero = width == 2 ? bytes[at + (bigEndian ? 0 : 1)] : 0;
            hit = zero == 0 && EqualsNoCaseAscii(c, kWord[i]);
        }
        if (hit) return true;
    }
    return false;
}

bool StartsWith(std::string_view bytes, std::string_view prefix) {
    return bytes.size() >= prefix.size() && bytes.substr(0, prefix.size()) == prefix;
}

}  // namespace

Bstr::Bstr(std::wstring_view s) : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
Bstr::~Bstr() { SysFreeString(b_); }
BSTR* Bstr::put() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
}
std::wstring Bstr::str() const { return b_ ? std::wstring(b_, SysStringLen(b_)) : std::wstring(); }

ComPtr<IXMLDOMDocument> CreateDomDocument() {
    ComPtr<IUnknown> unknown;
    if (FAILED(CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_ALL, IID_IUnknown,
                                reinterpret_cast<void**>(unknown.put()))))
        return {};
    if (FAILED(OleRun(unknown.get()))) return {};
    ComPtr<IXMLDOMDocument> doc;
    if (FAILED(unknown->QueryInterface(IID_IXMLDOMDocument, reinterpret_cast<void**>(doc.put())))) return {};
    if (FAILED(doc->put_async(VARIANT_FALSE)) || FAILED(doc->put_validateOnParse(VARIANT_FALSE)) ||
        FAILED(doc->put_resolveExternals(VARIANT_FALSE)))
        return {};
    ComPtr<IXMLDOMDocument2> doc2;
    if (SUCCEEDED(doc->QueryInterface(kIidDomDocument2, reinterpret_cast<void**>(doc2.put())))) {
        VARIANT yes;
        VariantInit(&yes);
        V_VT(&yes) = VT_BOOL;
        V_BOOL(&yes) = VARIANT_TRUE;
        SetDocProperty(doc2.get(), L"ProhibitDTD", yes);
        VARIANT depth;
        VariantInit(&depth);
        V_VT(&depth) = VT_I4;
        V_I4(&depth) = 256;
        SetDocProperty(doc2.get(), L"MaxElementDepth", depth);
    }
    return doc;
}

bool XmlBytesUnsafe(std::string_view bytes) {
    // Encodings in which the declaration cannot be found byte-wise: UTF-32 (either order,
    // with or without a byte-order mark) and EBCDIC.
    if (StartsWith(bytes, std::string_view("\xFF\xFE\x00\x00", 4)) || StartsWith(bytes, std::string_view("\x00\x00\xFE\xFF", 4)) ||
        StartsWith(bytes, std::string_view("\x00\x00\x00\x3C", 4)) || StartsWith(bytes, std::string_view("\x3C\x00\x00\x00", 4)) ||
        StartsWith(bytes, "\x4C\x6F\xA7\x94"))
        return true;
    // UTF-7 hides markup behind "+...-" sequences; it can only be named by the declaration.
    std::string head(bytes.substr(0, 512));
    head = head.substr(0, head.find("?>"));
    std::transform(head.begin(), head.end(), head.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    if (head.find("utf-7") != std::string::npos || head.find("utf7") != std::string::npos) return true;
    // Single-byte and multibyte code pages keep ASCII as it is; UTF-16 in both orders.
    return HasDoctype(bytes, 1, false) || HasDoctype(bytes, 2, false) || HasDoctype(bytes, 2, true);
}

bool XmlTextUnsafe(std::wstring_view text) {
    return ToLower(text).find(L"<!doctype") != std::wstring::npos;
}

static std::wstring ParseErrorText(IXMLDOMDocument* doc, HRESULT hr) {
    ComPtr<IXMLDOMParseError> error;
    long line = 0, column = 0;
    Bstr reason;
    if (SUCCEEDED(doc->get_parseError(error.put())) && error) {
        error->get_line(&line);
        error->get_linepos(&column);
        error->get_reason(reason.put());
    }
    if (!error) return Format(L"0x%08lX", static_cast<unsigned long>(hr));
    return Format(L"line %ld, column %ld: %s", line, column, Trim(reason.str()).c_str());
}

static XmlLoad FinishLoad(IXMLDOMDocument* doc, HRESULT hr, VARIANT_BOOL ok, std::wstring* error) {
    if (FAILED(hr) || hr == S_FALSE || ok != VARIANT_TRUE) {
        if (error) *error = ParseErrorText(doc, hr);
        return XmlLoad::Failed;
    }
    ComPtr<IXMLDOMDocumentType> type;
    if (SUCCEEDED(doc->get_doctype(type.put())) && type) return XmlLoad::Refused;
    return XmlLoad::Ok;
}

XmlLoad LoadXmlFile(IXMLDOMDocument* doc, const std::wstring& path, std::wstring* error) {
    auto systemError = [error](DWORD code) {
        if (error) *error = Format(L"error %lu", static_cast<unsigned long>(code));
        return XmlLoad::Failed;
    };
    // One read through one handle: the parser gets exactly the bytes that were checked, never
    // the path (another process could swap the file in between, and the parser would take the
    // path for a URL, "%41" for "A").
    std::string bytes;
    {
        Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!f || !GetFileSizeEx(f.get(), &size)) return systemError(GetLastError());
        if (size.QuadPart > kMaxXmlFileBytes) return systemError(ERROR_FILE_TOO_LARGE);
        bytes.resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (done < bytes.size()) {
            DWORD got = 0;
            if (!ReadFile(f.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &got, nullptr))
                return systemError(GetLastError());
            if (got == 0) break;
            done += got;
        }
        bytes.resize(done);
    }
    return LoadXmlBytes(doc, bytes, error);
}

XmlLoad LoadXmlBytes(IXMLDOMDocument* doc, std::string_view bytes, std::wstring* error) {
    if (XmlBytesUnsafe(bytes)) return XmlLoad::Refused;
    if (bytes.size() > static_cast<size_t>(kMaxXmlFileBytes)) {
        if (error) *error = Format(L"error %lu", static_cast<unsigned long>(ERROR_FILE_TOO_LARGE));
        return XmlLoad::Failed;
    }
    // A stream over the bytes: the parser still finds the encoding in them, as in a file.
    ComPtr<IStream> stream;
    *stream.put() = SHCreateMemStream(reinterpret_cast<const BYTE*>(bytes.data()), static_cast<UINT>(bytes.size()));
    if (!stream) {
        if (error) *error = Format(L"error %lu", static_cast<unsigned long>(ERROR_NOT_ENOUGH_MEMORY));
        return XmlLoad::Failed;
    }
    VARIANT source;
    VariantInit(&source);
    V_VT(&source) = VT_UNKNOWN;
    V_UNKNOWN(&source) = stream.get();  // borrowed: the ComPtr keeps the reference
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = doc->load(source, &ok);
    return FinishLoad(doc, hr, ok, error);
}

XmlLoad LoadXmlText(IXMLDOMDocument* doc, const std::wstring& text, std::wstring* error) {
    if (XmlTextUnsafe(text)) return XmlLoad::Refused;
    Bstr b(text);
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = doc->loadXML(b.get(), &ok);
    return FinishLoad(doc, hr, ok, error);
}

bool SaveXmlFile(IXMLDOMDocument* doc, const std::wstring& path) {
    VARIANT target;
    VariantInit(&target);
    V_VT(&target) = VT_BSTR;
    V_BSTR(&target) = SysAllocStringLen(path.data(), static_cast<UINT>(path.size()));
    HRESULT hr = doc->save(target);
    VariantClear(&target);
    return SUCCEEDED(hr);
}

bool SaveXmlBytes(IXMLDOMDocument* doc, std::string& bytes) {
    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) || !stream) return false;
    VARIANT target;
    VariantInit(&target);
    V_VT(&target) = VT_UNKNOWN;
    V_UNKNOWN(&target) = stream.get();  // borrowed
    if (FAILED(doc->save(target))) return false;
    STATSTG stat{};
    if (FAILED(stream->Stat(&stat, STATFLAG_NONAME)) || stat.cbSize.QuadPart > kMaxXmlFileBytes) return false;
    LARGE_INTEGER start{};
    if (FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) return false;
    std::string out(static_cast<size_t>(stat.cbSize.QuadPart), '\0');
    ULONG got = 0;
    if (!out.empty() && (FAILED(stream->Read(out.data(), static_cast<ULONG>(out.size()), &got)) || got != out.size()))
        return false;
    bytes = std::move(out);
    return true;
}

std::wstring NodeName(IXMLDOMNode* node) {
    Bstr b;
    if (FAILED(node->get_nodeName(b.put()))) return {};
    return b.str();
}

std::wstring NodeText(IXMLDOMNode* node) {
    Bstr b;
    if (FAILED(node->get_text(b.put()))) return {};
    return b.str();
}

std::wstring ElementAttribute(IXMLDOMElement* element, const wchar_t* name) {
    Bstr n(name);
    VARIANT v;
    VariantInit(&v);
    std::wstring out;
    if (element->getAttribute(n.get(), &v) == S_OK && V_VT(&v) == VT_BSTR && V_BSTR(&v))
        out.assign(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
    VariantClear(&v);
    return out;
}

}  // namespace mv
