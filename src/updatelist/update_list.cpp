#include "updatelist/update_list.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <set>
#include <vector>

#include "config/list_source.h"
#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "notify/user_prompt.h"
#include "util/file_replace.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/text.h"

namespace {

const wchar_t kGuardSeparator = L'\x0001';
// Larger list files are refused rather than read whole into a 32-bit process.
constexpr long long kMaxListFileBytes = 256LL * 1024 * 1024;

using NodePtr = mv::ComPtr<IXMLDOMNode>;

// The attributes of one element, read in one pass: a record may be spelt with any of some
// forty attribute names, and asking the DOM for each name costs more than the whole parse.
using Attributes = std::vector<std::pair<std::wstring, std::wstring>>;

Attributes ElementAttributes(IXMLDOMElement* element) {
    Attributes out;
    mv::ComPtr<IXMLDOMNamedNodeMap> map;
    if (element->get_attributes(map.put()) != S_OK || !map) return out;
    long count = 0;
    if (FAILED(map->get_length(&count))) return out;
    for (long i = 0; i < count; ++i) {
        mv::ComPtr<IXMLDOMNode> attribute;
        if (map->get_item(i, attribute.put()) != S_OK || !attribute) continue;
        VARIANT v;
        VariantInit(&v);
        if (attribute->get_nodeValue(&v) == S_OK && V_VT(&v) == VT_BSTR && V_BSTR(&v))
            out.emplace_back(mv::NodeName(attribute.get()), std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))));
        VariantClear(&v);
    }
    return out;
}

std::wstring FirstAttribute(const Attributes& attributes, std::initializer_list<const wchar_t*> names) {
    for (const wchar_t* name : names)
        for (const auto& a : attributes)
            if (a.first == name && !a.second.empty()) return a.second;
    return {};
}

bool BeginsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    return mv::ToLower(text).rfind(prefix, 0) == 0;
}

// The last piece of an address: "\" read as "/", doubled "/" reduced, a trailing "/" meaning
// the piece before it.
std::wstring FileNameFromUrl(const std::wstring& url) {
    std::wstring copy = mv::ReplaceAll(mv::ReplaceAll(url, L"\\", L"/"), L"//", L"/");
    std::vector<std::wstring> pieces = mv::Split(copy, L'/');
    for (std::wstring& p : pieces) p = mv::Trim(p);
    if (pieces.back().empty() && pieces.size() >= 2) return pieces[pieces.size() - 2];
    return pieces.back();
}

// Children of a node in document order; false when the DOM fails.
bool Children(IXMLDOMNode* node, std::vector<NodePtr>& out) {
    out.clear();
    NodePtr child;
    HRESULT hr = node->get_firstChild(child.put());
    while (hr == S_OK && child) {
        NodePtr next;
        hr = child->get_nextSibling(next.put());
        out.push_back(std::move(child));
        child = std::move(next);
    }
    return SUCCEEDED(hr);
}

bool IsElement(IXMLDOMNode* node, bool& element) {
    DOMNodeType type = NODE_INVALID;
    if (FAILED(node->get_nodeType(&type))) return false;
    element = type == NODE_ELEMENT;
    return true;
}

mv::ComPtr<IXMLDOMElement> AsElement(IXMLDOMNode* node) {
    mv::ComPtr<IXMLDOMElement> e;
    node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(e.put()));
    return e;
}

// Child elements of `parent` with the given name, in document order.
bool ChildElements(IXMLDOMNode* parent, const wchar_t* name, std::vector<NodePtr>& out) {
    std::vector<NodePtr> all;
    if (!Children(parent, all)) return false;
    out.clear();
    for (NodePtr& n : all) {
        bool element = false;
        if (!IsElement(n.get(), element)) return false;
        if (element && mv::NodeName(n.get()) == name) out.push_back(std::move(n));
    }
    return true;
}

std::wstring CrLf(const std::wstring& text) { return mv::ReplaceAll(text, L"\n", L"\r\n"); }

bool IsHexDigest(const std::wstring& s) {
    return s.size() == 64 && s.find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

long long SizeAttribute(const Attributes& e) {
    const std::wstring size = mv::Trim(FirstAttribute(e, {L"size", L"Size", L"SIZE"}));
    if (!size.empty() && size.size() <= 15 && size.find_first_not_of(L"0123456789") == std::wstring::npos)
        return _wcstoi64(size.c_str(), nullptr, 10);
    return -1;
}

// The usable patch children of a file element: a base hash, an address and the patch's own
// hash; others are left out (the file itself is still fetched).
std::vector<FilePatch> PatchRecords(IXMLDOMElement* file) {
    std::vector<FilePatch> out;
    std::vector<NodePtr> nodes;
    if (!ChildElements(file, L"patch", nodes)) return out;
    for (NodePtr& n : nodes) {
        mv::ComPtr<IXMLDOMElement> e = AsElement(n.get());
        if (!e) continue;
        const Attributes a = ElementAttributes(e.get());
        FilePatch p;
        p.from = mv::ToLower(mv::Trim(FirstAttribute(a, {L"from"})));
        p.path = mv::Trim(mv::ReplaceAll(FirstAttribute(a, {L"path"}), L"|", L"\\"));
        p.url = mv::Trim(FirstAttribute(a, {L"url"}));
        p.sha256 = mv::ToLower(mv::Trim(FirstAttribute(a, {L"sha256"})));
        p.size = SizeAttribute(a);
        if (IsHexDigest(p.from) && IsHexDigest(p.sha256) && (!p.path.empty() || !p.url.empty())) out.push_back(p);
    }
    return out;
}

updatefileinfo FileRecord(IXMLDOMElement* element) {
    const Attributes e = ElementAttributes(element);
    updatefileinfo r;
    r.ver = FirstAttribute(e, {L"ver", L"Ver", L"md5", L"MD5"});
    r.action = ParseActionFlags(FirstAttribute(e, {L"oper", L"Oper", L"OPER", L"do", L"Do", L"DO", L"Action", L"action",
                                                   L"ACTION", L"Activity", L"activity", L"ACTIVITY"}));
    r.path = FirstAttribute(e, {L"path", L"Path", L"File", L"file", L"Name", L"name"});
    r.url = FirstAttribute(e, {L"URL", L"url", L"Url"});
    r.shortcut = FirstAttribute(e, {L"shortcut", L"ShortCut", L"SHORTCUT"});
    r.shortcuticon = FirstAttribute(e, {L"shortcuticon", L"shorticon", L"ShortCutIcon", L"SHORTCUTICON", L"SHORTICON"});
    r.iconindex = FirstAttribute(e, {L"iconindex", L"ICONINDEX", L"IconIndex", L"shortcuticonindex", L"SHORTCUTICONINDEX"});
    r.desname = FirstAttribute(e, {L"DesName", L"desname", L"dstname", L"DstName"});
    r.sha256 = mv::Trim(FirstAttribute(e, {L"sha256", L"SHA256", L"Sha256"}));
    // Hints only: a value that is not plainly one leaves the download to find out itself.
    r.size = SizeAttribute(e);
    const std::wstring zip = mv::Trim(FirstAttribute(e, {L"zip", L"Zip", L"ZIP"}));
    if (zip == L"0" || zip == L"1") r.zipped = zip == L"1" ? 1 : 0;
    if (BeginsWithNoCase(r.path, L"http:") || BeginsWithNoCase(r.path, L"https:")) {
        r.url = r.path;
        r.path.clear();
    }
    if (!r.url.empty() && r.path.empty()) r.path = FileNameFromUrl(r.url);
    r.patches = PatchRecords(element);
    return r;
}

}  // namespace

int ParseActionFlags(const std::wstring& action) {
    const std::wstring t = mv::ToLower(action);
    int64_t number = 0;
    for (size_t i = 0; i < t.size() && t[i] >= L'0' && t[i] <= L'9'; ++i)
        number = std::min<int64_t>(number * 10 + (t[i] - L'0'), INT_MAX);
    int flags = static_cast<int>(number);
    if (t.find(L"run") != std::wstring::npos || t.find(L"exe") != std::wstring::npos) flags |= ActionRun;
    if (t.find(L"del") != std::wstring::npos) flags |= ActionRemove;
    if (t.find(L"reg") != std::wstring::npos) flags |= ActionRegister;
    if (t.find(L"boot") != std::wstring::npos) flags |= ActionReboot;
    // A number must not turn a file into a task or a description.
    return flags & ~(RunTaskRecord | DescriptionRecord);
}

std::wstring PackRunTask(const RunTask& task) {
    const std::wstring* parts[] = {&task.path, &task.param, &task.wait, &task.key};
    bool nine = false;
    for (const std::wstring* p : parts) nine = nine || p->find(L'9') != std::wstring::npos;
    std::wstring out;
    if (nine) out += kGuardSeparator;
    for (size_t i = 0; i < 4; ++i) {
        if (i > 0) out += nine ? kGuardSeparator : L'9';
        out += *parts[i];
    }
    return out;
}

RunTask UnpackRunTask(const std::wstring& packed) {
    const bool guarded = !packed.empty() && packed[0] == kGuardSeparator;
    const wchar_t sep = guarded ? kGuardSeparator : L'9';
    std::vector<std::wstring> parts = mv::Split(guarded ? packed.substr(1) : packed, sep);
    RunTask t;
    std::wstring* fields[] = {&t.path, &t.param, &t.wait, &t.key};
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i < 4)
            *fields[i] = parts[i];
        else
            (t.key += sep) += parts[i];
    }
    return t;
}

ListRead ReadUpdateList(const std::wstring& path, RecordArray& records, bool remote, UpdateListValues& values) {
    std::string bytes;
    if (!mv::ReadFileBytes(path, bytes, kMaxListFileBytes)) {
        // A missing file is an empty list (the installed list before the first update).
        if (mv::FileExists(path))
            WriteLog(mv::Format(Translate(L"MAIN", L"The xml file [%s] cannot be read: %s").c_str(), path.c_str(),
                                mv::Format(L"error %lu", GetLastError()).c_str()));
        return ListRead::NotAList;
    }
    const std::string before = bytes;
    const ListRead result = ReadUpdateListBytes(bytes, path, records, remote, values);
    // A list file never keeps its guid either.
    if (result == ListRead::Ok && bytes != before) mv::WriteFileReplacing(path, bytes);
    return result;
}

ListRead ReadUpdateListBytes(std::string& bytes, const std::wstring& path, RecordArray& records, bool remote,
                             UpdateListValues& values) {
    mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
    if (!doc) return ListRead::DomError;
    std::wstring error;
    switch (mv::LoadXmlBytes(doc.get(), bytes, &error)) {
        case mv::XmlLoad::Ok:
            break;
        case mv::XmlLoad::Refused:
            WriteLog(mv::Format(Translate(L"MAIN", L"The xml file [%s] holds a document type declaration and is not read").c_str(),
                                path.c_str()));
            return ListRead::NotAList;
        default:
            WriteLog(mv::Format(Translate(L"MAIN", L"The xml file [%s] cannot be read: %s").c_str(), path.c_str(),
                                error.c_str()));
            return ListRead::NotAList;
    }

    // The root: the first top-level update, else updates, else mirovane.
    std::vector<NodePtr> top;
    mv::ComPtr<IXMLDOMNode> docNode;
    if (FAILED(doc->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(docNode.put()))) || !docNode)
        return ListRead::DomError;
    NodePtr root;
    for (const wchar_t* name : {L"update", L"updates", L"mirovane"}) {
        if (!ChildElements(docNode.get(), name, top)) return ListRead::DomError;
        if (!top.empty()) {
            root = std::move(top.front());
            break;
        }
    }
    if (!root) {
        WriteLog(mv::Format(Translate(L"MAIN", L"The xml file [%s] has no update, updates or mirovane root").c_str(),
                            path.c_str()));
        return ListRead::NotAList;
    }

    std::vector<NodePtr> guids, fileUrls;
    if (!ChildElements(root.get(), L"guid", guids) || !ChildElements(root.get(), L"fileurl", fileUrls))
        return ListRead::DomError;
    UpdateListValues found;
    if (remote && !guids.empty()) {
        found.hasGuid = true;
        found.guid = CrLf(mv::NodeText(guids.front().get()));
    }
    if (remote && !fileUrls.empty()) {
        found.hasFileUrl = true;
        found.fileUrl = CrLf(mv::NodeText(fileUrls.front().get()));
    }

    // Depth first, parent before children, children in document order; an explicit stack so
    // that deep nesting cannot exhaust the thread's stack.
    RecordArray read;
    std::set<std::wstring> seenPaths;
    std::vector<NodePtr> stack, children;
    stack.push_back(NodePtr());
    root->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(stack.back().put()));
    while (!stack.empty()) {
        NodePtr node = std::move(stack.back());
        stack.pop_back();
        if (!node) return ListRead::DomError;
        bool element = false;
        if (!IsElement(node.get(), element)) return ListRead::DomError;
        if (element) {
            const std::wstring name = mv::NodeName(node.get());
            mv::ComPtr<IXMLDOMElement> e;
            if (name == L"file" || name == L"run" || name == L"description") {
                e = AsElement(node.get());
                if (!e) return ListRead::DomError;
            }
            if (name == L"file") {
                updatefileinfo r = FileRecord(e.get());
                if (seenPaths.insert(mv::ToLower(r.path)).second) AddFileRecord(r, read);
            } else if (name == L"run") {
                updatefileinfo r;
                RunTask task{mv::ElementAttribute(e.get(), L"path"), mv::ElementAttribute(e.get(), L"param"),
                             mv::ElementAttribute(e.get(), L"wait"), mv::ElementAttribute(e.get(), L"key")};
                r.action = RunTaskRecord;
                r.path = r.desname = PackRunTask(task);
                r.ver = L"999";
                AddFileRecord(r, read);
            } else if (name == L"description") {
                updatefileinfo r;
                r.action = DescriptionRecord;
                r.path = r.desname = CrLf(mv::NodeText(node.get()));
                r.ver = L"999";
                AddFileRecord(r, read);
            }
        }
        if (!Children(node.get(), children)) return ListRead::DomError;
        for (size_t i = children.size(); i-- > 0;) stack.push_back(std::move(children[i]));
    }

    // A cached list never keeps its guid.
    if (!guids.empty()) {
        for (NodePtr& g : guids) {
            NodePtr removed;
            root->removeChild(g.get(), removed.put());
        }
        std::string saved;
        if (mv::SaveXmlBytes(doc.get(), saved)) bytes = std::move(saved);
    }

    values = found;
    std::lock_guard<std::mutex> hold(RecordMutex());
    for (updatefileinfo& r : read) records.push_back(std::move(r));
    return ListRead::Ok;
}

std::wstring ListErrorBoxText(const std::wstring& path, bool remote) {
    const std::wstring message = Translate(L"MAIN", L"The xml file format error!");
    if (remote) return CurrentListSource().configured + L"\r\n" + message;
    return mv::FileExists(path) ? path + L"\r\n" + message : std::wstring();
}

namespace {

bool FinishListLoad(ListRead result, const std::wstring& path, bool remote, const UpdateListValues& values,
                    DownLoadList* listValues) {
    if (result == ListRead::DomError) {
        const std::wstring text = ListErrorBoxText(path, remote);
        if (!text.empty()) PromptUser(nullptr, text, L"Mirovane", MB_OK | MB_ICONERROR, IDOK);
        return false;
    }
    if (result != ListRead::Ok) return false;
    // Only the remote list names the list-wide values; reading the installed list afterwards
    // must not undo them.
    if (remote && listValues) {
        if (values.hasGuid) listValues->listGuid = values.guid;
        listValues->fileUrlPattern = values.hasFileUrl ? values.fileUrl : kDefaultFileUrlPattern;
    }
    return true;
}

}  // namespace

bool LoadUpdateList(const std::wstring& path, RecordArray& records, bool remote, DownLoadList* listValues) {
    mv::ComInit com;  // before any DOM object, released after the last
    UpdateListValues values;
    const ListRead result = ReadUpdateList(path, records, remote, values);
    return FinishListLoad(result, path, remote, values, listValues);
}

bool LoadRemoteListBytes(std::string& bytes, const std::wstring& name, RecordArray& records, DownLoadList& list) {
    mv::ComInit com;
    UpdateListValues values;
    const ListRead result = ReadUpdateListBytes(bytes, name, records, true, values);
    return FinishListLoad(result, name, true, values, &list);
}
