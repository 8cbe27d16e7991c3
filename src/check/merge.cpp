#include "check/merge.h"

#include <windows.h>
#include <msxml2.h>
#include <objbase.h>

#include "check/check_rules.h"
#include "download/fetch.h"
#include "config/settings.h"
#include "updatelist/targets.h"
#include "lang/language.h"
#include "notify/log.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr wchar_t kDefaultChecksumService[] = L"http://update.mirovane.invalid/ManagerCenter/Ajax/FileMd5Handle.aspx";

using NodePtr = mv::ComPtr<IXMLDOMNode>;

// The first top-level element named exactly `name`.
NodePtr TopElement(IXMLDOMDocument* doc, const wchar_t* name) {
    NodePtr child;
    doc->get_firstChild(child.put());
    while (child) {
        DOMNodeType type = NODE_INVALID;
        child->get_nodeType(&type);
        if (type == NODE_ELEMENT && mv::NodeName(child.get()) == name) return child;
        NodePtr next;
        child->get_nextSibling(next.put());
        child = std::move(next);
    }
    return {};
}

bool SetAttribute(IXMLDOMElement* e, const wchar_t* name, const std::wstring& value) {
    mv::Bstr n(name), v(value);
    VARIANT var;
    VariantInit(&var);
    V_VT(&var) = VT_BSTR;
    V_BSTR(&var) = v.get();
    return SUCCEEDED(e->setAttribute(n.get(), var));
}

std::wstring FreshVersion() {
    GUID g{};
    CoCreateGuid(&g);
    return SubstituteVersion(g);
}

bool LoadDocument(IXMLDOMDocument* doc, std::string_view bytes, const wchar_t* what) {
    std::wstring error;
    if (mv::LoadXmlBytes(doc, bytes, &error) == mv::XmlLoad::Ok) return true;
    WriteLog(mv::Format(Translate(L"MAIN", L"merge: [%s] is not readable XML %s").c_str(), what, error.c_str()));
    return false;
}

}  // namespace

std::wstring QueryChecksumService(const std::wstring& path, long seconds) {
    const std::wstring service = ReadSettingOr(L"UPDATEINFO", L"FileMd5HandleUrl", kDefaultChecksumService);
    std::string body;
    std::wstring error;
    if (!FetchToMemory(ChecksumQueryUrl(service, path), DeadlineIn(seconds), kMaxChecksumReplyBytes, body, error)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"checksum service [%s]: %s").c_str(), path.c_str(), error.c_str()));
        return {};
    }
    return DecodeChecksumReply(body);
}

bool MergeMainList(std::string& listBytes, std::string_view mainBytes) {
    const long seconds = mv::ParseLong(ReadSettingOr(L"Mirovane", L"TimeOut", L"60"));
    return MergeMainListWith(listBytes, mainBytes, [seconds](const std::wstring& p) { return QueryChecksumService(p, seconds); });
}

bool MergeMainListWith(std::string& listBytes, std::string_view mainBytes, const ChecksumQuery& query) {
    mv::ComInit com;
    mv::ComPtr<IXMLDOMDocument> list = mv::CreateDomDocument(), main = mv::CreateDomDocument();
    if (!list || !main || !LoadDocument(list.get(), listBytes, L"list") || !LoadDocument(main.get(), mainBytes, L"main list"))
        return false;
    NodePtr listRoot = TopElement(list.get(), L"update"), mainRoot = TopElement(main.get(), L"update");
    if (!listRoot || !mainRoot) {
        WriteLog(mv::Format(Translate(L"MAIN", L"merge: no top-level update element in [%s]").c_str(), listRoot ? L"main list" : L"list"));
        return false;
    }
    const std::wstring zrdir = ReadSettingOr(L"APPLICATION", L"zrdir", L"temp");
    const std::wstring agent = ReadSettingOr(L"APPLICATION", L"AgentName", L"kd");

    NodePtr child;
    mainRoot->get_lastChild(child.put());
    while (child) {
        NodePtr previous;
        child->get_previousSibling(previous.put());
        DOMNodeType type = NODE_INVALID;
        child->get_nodeType(&type);
        VARIANT_BOOL hasChildren = VARIANT_FALSE;
        child->hasChildNodes(&hasChildren);
        if (type == NODE_ELEMENT && hasChildren == VARIANT_FALSE) {
            mv::ComPtr<IXMLDOMElement> e;
            child->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(e.put()));
            if (!e) return false;
            const std::wstring desname = mv::ElementAttribute(e.get(), L"desname");
            if (desname.find(L"{zrdir}") != std::wstring::npos &&
                !SetAttribute(e.get(), L"desname", mv::ReplaceAll(desname, L"{zrdir}", zrdir)))
                return false;
            const std::wstring path = mv::ElementAttribute(e.get(), L"path");
            if (path.find(L"{agentName}") != std::wstring::npos) {
                const std::wstring filled = mv::ReplaceAll(path, L"{agentName}", agent);
                std::wstring ver = query ? query(filled) : std::wstring();
                if (!ChecksumUsable(ver)) ver = FreshVersion();
                if (!SetAttribute(e.get(), L"path", filled) || !SetAttribute(e.get(), L"ver", ver)) return false;
            }
            // A copy goes into the list; the main list itself is never saved.
            NodePtr copy, added;
            if (FAILED(child->cloneNode(VARIANT_TRUE, copy.put())) || !copy ||
                FAILED(listRoot->appendChild(copy.get(), added.put()))) {
                WriteLog(Translate(L"MAIN", L"merge: appendChild failed"));
                return false;
            }
        }
        child = std::move(previous);
    }
    std::string merged;
    if (!mv::SaveXmlBytes(list.get(), merged)) {
        WriteLog(Translate(L"MAIN", L"merge: the merged list could not be written"));
        return false;
    }
    listBytes = std::move(merged);
    return true;
}

int CompareLists(const RecordArray& remote, const RecordArray& installed, bool checkLostFiles, DownLoadList& list) {
    CompareInput in;
    in.checkLostFiles = checkLostFiles;
    in.targetsOf = InstallTargets;
    in.targetExists = [](const std::wstring& t) { return GetFileAttributesW(t.c_str()) != INVALID_FILE_ATTRIBUTES; };
    CompareResult result = CompareRecords(remote, installed, in);
    for (const std::wstring& why : result.refused) WriteLog(why);
    for (updatefileinfo& r : result.update) AppendRecord(list.records, r);
    return static_cast<int>(result.refused.size());
}
