// mirovane-sign: the publisher's half of signed update lists.
//
//   mirovane-sign --new-key <name>
//       creates a key pair: <name>.key (the private key; keep it, never ship it) and prints
//       the ListKey= line for the updater's settings.
//   mirovane-sign --key <key file> [--sequence <n>] <release folder> <list> [<main list>]
//       writes sha256 on every file element whose file is in the release folder, the list's
//       <sequence> (one more than the list had, or <n>), and <list>.sig and <main list>.sig.
//
// Exit code 0 on success, 1 on failure (one line on stderr saying why), 2 for a bad command line.
#include <windows.h>
#include <msxml2.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check/list_trust.h"
#include "util/com.h"
#include "util/crypto.h"
#include "util/files.h"
#include "util/text.h"
#include "util/xml_doc.h"

namespace {

void Print(const std::wstring& line, bool error = false) {
    const std::string bytes = mv::ToUtf8(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

int Fail(const std::wstring& why) {
    Print(L"mirovane-sign: " + why, true);
    return 1;
}

const char kKeyWarning[] =
    "# Mirovane list signing key (private). Anyone who has this file can make your users'\r\n"
    "# updaters install anything. Keep it offline and backed up; never ship or upload it.\r\n";

int NewKey(const std::wstring& name) {
    const std::wstring path = name + L".key";
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return Fail(L"[" + path + L"] exists already; not replaced");
    std::string privateText, publicText;
    std::wstring error;
    if (!mv::CreateListKey(privateText, publicText, error)) return Fail(error);
    if (!mv::WriteFileBytes(path, kKeyWarning + privateText + "\r\n"))
        return Fail(mv::Format(L"cannot write [%s] (%lu)", path.c_str(), GetLastError()));
    SecureZeroMemory(privateText.data(), privateText.size());
    Print(L"private key written to " + path);
    Print(L"ListKey=" + mv::FromUtf8(publicText));
    return 0;
}

bool ReadKey(const std::wstring& path, std::string& key) {
    std::string text;
    if (!mv::ReadFileBytes(path, text, 4096)) return false;
    key.clear();
    for (const std::wstring& line : mv::Split(mv::FromUtf8(text), L'\n'))
        if (!mv::Trim(line).empty() && mv::Trim(line)[0] != L'#') key += mv::ToUtf8(mv::Trim(line));
    std::string publicText;
    return mv::PublicKeyOf(key, publicText);
}

std::wstring FilePathOf(IXMLDOMElement* e) {
    for (const wchar_t* name : {L"path", L"Path", L"File", L"file", L"Name", L"name"}) {
        const std::wstring v = mv::ElementAttribute(e, name);
        if (!v.empty()) return mv::Trim(mv::RemoveAll(mv::ReplaceAll(v, L"|", L"\\"), L"._.zip"));
    }
    return {};
}

// Writes sha256 on every file element whose file lies in the release folder.
bool HashFiles(IXMLDOMDocument* doc, const std::wstring& folder, const std::wstring& listName) {
    mv::ComPtr<IXMLDOMNodeList> nodes;
    mv::Bstr query(L"//file");
    if (doc->selectNodes(query.get(), nodes.put()) != S_OK || !nodes) return true;
    long count = 0;
    nodes->get_length(&count);
    for (long i = 0; i < count; ++i) {
        mv::ComPtr<IXMLDOMNode> node;
        mv::ComPtr<IXMLDOMElement> e;
        if (nodes->get_item(i, node.put()) != S_OK || !node ||
            FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(e.put()))))
            continue;
        const std::wstring path = FilePathOf(e.get());
        const std::wstring action = mv::ToLower(mv::ElementAttribute(e.get(), L"oper") + mv::ElementAttribute(e.get(), L"action"));
        if (path.empty() || path.find(L':') != std::wstring::npos || path.find(L'{') != std::wstring::npos) {
            Print(L"warning: [" + listName + L"] file [" + path + L"] is not in the release folder; an updater with a key refuses it");
            continue;
        }
        const std::wstring file = folder + L"\\" + path;
        std::string digest;
        std::wstring error;
        if (!mv::Sha256OfFile(file, digest, error)) {
            if (action.find(L"del") != std::wstring::npos) continue;  // a removal names no file
            Print(L"mirovane-sign: [" + file + L"]: " + error, true);
            return false;
        }
        mv::Bstr name(L"sha256");
        VARIANT v;
        VariantInit(&v);
        v.vt = VT_BSTR;
        v.bstrVal = SysAllocString(mv::EncodeHex(digest).c_str());
        const HRESULT hr = e->setAttribute(name.get(), v);
        VariantClear(&v);
        if (FAILED(hr)) return false;
    }
    return true;
}

// Sets the root's <sequence>: `given`, or one more than the list had.
bool SetSequence(IXMLDOMDocument* doc, long long given, long long& written) {
    mv::ComPtr<IXMLDOMElement> root;
    if (doc->get_documentElement(root.put()) != S_OK || !root) return false;
    mv::ComPtr<IXMLDOMNode> node;
    mv::Bstr query(L"sequence");
    long long previous = 0;
    if (root->selectSingleNode(query.get(), node.put()) == S_OK && node) ParseSequence(mv::NodeText(node.get()), previous);
    written = given > 0 ? given : previous + 1;
    if (!node) {
        mv::ComPtr<IXMLDOMElement> created;
        mv::Bstr tag(L"sequence");
        if (doc->createElement(tag.get(), created.put()) != S_OK) return false;
        mv::ComPtr<IXMLDOMNode> first, inserted;
        root->get_firstChild(first.put());
        VARIANT before;
        VariantInit(&before);
        if (first) {
            before.vt = VT_UNKNOWN;
            before.punkVal = first.get();
        }
        if (FAILED(root->insertBefore(created.get(), before, inserted.put()))) return false;
        node = std::move(inserted);
    }
    mv::Bstr text(std::to_wstring(written));
    return SUCCEEDED(node->put_text(text.get()));
}

bool SignFile(const std::string& key, const std::wstring& path) {
    std::string bytes, signature;
    std::wstring error;
    if (!mv::ReadFileBytes(path, bytes)) return Fail(L"cannot read [" + path + L"]") == 0;
    if (!mv::SignListBytes(key, bytes, signature, error)) return Fail(error) == 0;
    if (!mv::WriteFileBytes(path + L".sig", signature + "\r\n")) return Fail(L"cannot write [" + path + L".sig]") == 0;
    Print(L"signed " + path);
    return true;
}

int SignRelease(const std::vector<std::wstring>& a) {
    std::wstring keyFile;
    long long given = 0;
    std::vector<std::wstring> rest;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == L"--key" && i + 1 < a.size()) keyFile = a[++i];
        else if (a[i] == L"--sequence" && i + 1 < a.size()) {
            if (!ParseSequence(a[++i], given)) return Fail(L"--sequence needs a positive number");
        } else rest.push_back(a[i]);
    }
    if (keyFile.empty() || rest.size() < 2 || rest.size() > 3) return 2;
    std::string key;
    if (!ReadKey(keyFile, key)) return Fail(L"[" + keyFile + L"] is not a private key made by --new-key");
    std::wstring folder = rest[0];
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
    mv::ComInit com;
    for (size_t i = 1; i < rest.size(); ++i) {
        const std::wstring path = folder + L"\\" + rest[i];
        mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
        std::wstring error;
        if (!doc || mv::LoadXmlFile(doc.get(), path, &error) != mv::XmlLoad::Ok) return Fail(L"[" + path + L"] is not readable XML " + error);
        if (!HashFiles(doc.get(), folder, rest[i])) return 1;
        if (i == 1) {
            long long sequence = 0;
            if (!SetSequence(doc.get(), given, sequence)) return Fail(L"cannot set the sequence of [" + path + L"]");
            Print(mv::Format(L"sequence %lld", sequence));
        }
        if (!mv::SaveXmlFile(doc.get(), path)) return Fail(L"cannot save [" + path + L"]");
        if (!SignFile(key, path)) return 1;
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> a(argv + 1, argv + argc);
    if (a.size() == 2 && a[0] == L"--new-key") return NewKey(a[1]);
    if (!a.empty()) {
        const int rc = SignRelease(a);
        if (rc != 2) return rc;
    }
    Print(L"usage: mirovane-sign --new-key <name>\n"
          L"       mirovane-sign --key <key file> [--sequence <n>] <release folder> <list> [<main list>]",
          true);
    return 2;
}
