#include "check/list_signature.h"

#include <windows.h>
#include <msxml2.h>

#include "check/check_rules.h"
#include "check/list_trust.h"
#include "config/list_source.h"
#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "util/crypto.h"
#include "util/files.h"
#include "util/text.h"
#include "util/utc_time.h"
#include "util/xml_doc.h"

namespace {

constexpr wchar_t kSequenceProperty[] = L"listsequence";
constexpr wchar_t kSequenceFile[] = L"mirovane.sequence";
constexpr size_t kMaxSignatureBytes = 1024;

std::wstring ListKey() { return mv::Trim(ReadSetting(L"UPDATEINFO", L"ListKey")); }

void Refuse(const std::wstring& english, const std::wstring& url, const std::wstring& why) {
    WriteLog(mv::Format(Translate(L"MAIN", english.c_str()).c_str(), url.c_str(), why.c_str()));
}

std::wstring SequencePath() { return mv::ReduceBackslashes(GetAppDir() + L"\\" + kSequenceFile); }

// The first child element of the root with this name, as text.
bool RootChildText(IXMLDOMElement* root, const wchar_t* name, std::wstring& text) {
    mv::ComPtr<IXMLDOMNode> node;
    mv::Bstr query(name);
    if (root->selectSingleNode(query.get(), node.put()) != S_OK || !node) return false;
    text = mv::NodeText(node.get());
    return true;
}

}  // namespace

bool ListSigningRequired() { return !ListKey().empty(); }

namespace {

// Checks `signature` over the list's bytes in its role; logs one line either way.
bool CheckSignature(const std::wstring& key, const std::wstring& url, mv::ListRole role, std::string_view bytes,
                    const std::string& signature) {
    std::wstring error;
    bool ok = false;
    switch (mv::VerifyListSignature(mv::ToUtf8(key), mv::SignedListMessage(role, bytes), signature, error)) {
        case mv::SignatureCheck::Ok:
            ok = true;
            WriteLog(L"list [" + url + L"]: signature verified");
            break;
        case mv::SignatureCheck::BadKey:
            Refuse(L"list [%s] refused: [UPDATEINFO] ListKey is not a usable key (%s)", url, error);
            break;
        case mv::SignatureCheck::Malformed:
            Refuse(L"list [%s] refused: its signature is malformed (%s)", url, error);
            break;
        case mv::SignatureCheck::Wrong:
            Refuse(L"list [%s] refused: its signature does not match (%s)", url,
                   error + (error.empty() ? L"" : L"; ") + L"checked as the " + mv::ListRoleName(role));
            break;
        case mv::SignatureCheck::CryptoError:
            Refuse(L"list [%s] refused: the signature could not be checked (%s)", url, error);
            break;
    }
    return ok;
}

}  // namespace

bool VerifyListBytes(const std::wstring& url, mv::ListRole role, std::string_view bytes, Deadline deadline,
                     std::string* signatureOut) {
    const std::wstring key = ListKey();
    if (key.empty()) return true;
    std::string signature;
    std::wstring error;
    if (!FetchToMemory(SignatureUrlOf(url), deadline, kMaxSignatureBytes, signature, error)) {
        Refuse(L"list [%s] refused: its signature could not be fetched (%s)", url, error);
        return false;
    }
    if (!CheckSignature(key, url, role, bytes, signature)) return false;
    if (signatureOut) *signatureOut = std::move(signature);
    return true;
}

bool VerifySavedListBytes(const SignedSource& source) {
    const std::wstring key = ListKey();
    return !key.empty() && CheckSignature(key, source.url, source.role, source.bytes, source.signature);
}

bool VerifyPackageLists(const AppendedPackage& package) {
    const std::wstring key = ListKey();
    if (key.empty()) return true;
    if (!CheckSignature(key, package.path, mv::ListRole::Update, package.list, package.listSignature)) return false;
    return package.mainList.empty() || CheckSignature(key, package.path + L"|" + kPackageMainListName, mv::ListRole::Main,
                                                      package.mainList, package.mainListSignature);
}

namespace {

// Why a verified list may not be used in its role, or empty; `sequence` receives its sequence.
std::wstring TrustProblemOf(std::string_view bytes, long long& sequence) {
    ListTrustValues values;
    {
        mv::ComInit com;
        mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
        mv::ComPtr<IXMLDOMElement> root;
        if (!doc || mv::LoadXmlBytes(doc.get(), bytes) != mv::XmlLoad::Ok || doc->get_documentElement(root.put()) != S_OK ||
            !root)
            return L"it cannot be read";
        values.hasSequence = RootChildText(root.get(), L"sequence", values.sequence);
        values.hasExpires = RootChildText(root.get(), L"expires", values.expires);
        values.hasGuid = RootChildText(root.get(), L"guid", values.guid);
    }
    ListTrustInput in;
    in.installedSequence = InstalledListSequence();
    in.expectedGuid = ReadSetting(L"UPDATEINFO", L"ListGuid");
    in.now = NowUtcSeconds();
    return ListTrustProblem(values, in, sequence);
}

}  // namespace

bool AcceptSignedList(std::string_view bytes, DownLoadList& list) {
    list.properties.erase(kSequenceProperty);
    if (!ListSigningRequired()) return true;
    long long sequence = 0;
    const std::wstring problem = TrustProblemOf(bytes, sequence);
    if (!problem.empty()) {
        Refuse(L"list [%s] refused: %s", CurrentListSource().configured, problem);
        return false;
    }
    list.properties[kSequenceProperty] = std::to_wstring(sequence);
    return true;
}

bool AcceptSignedMainList(const std::wstring& url, std::string_view bytes) {
    if (!ListSigningRequired()) return true;
    long long sequence = 0;
    const std::wstring problem = TrustProblemOf(bytes, sequence);
    if (problem.empty()) return true;
    Refuse(L"main list [%s] refused: %s", url, problem);
    return false;
}

int RefuseUnhashedRecords(DownLoadList& list) {
    const bool signedList = ListSigningRequired();
    RecordArray kept;
    for (updatefileinfo& r : list.records) {
        const std::wstring problem = FileHashProblem(r, signedList);
        if (problem.empty())
            kept.push_back(std::move(r));
        else
            WriteLog(problem);
    }
    const int refused = static_cast<int>(list.records.size() - kept.size());
    list.records = std::move(kept);
    return refused;
}

namespace {

long long StoredListSequence() {
    long long stored = 0;
    std::string text;
    if (mv::ReadFileBytes(SequencePath(), text, 64) && !ParseSequence(mv::FromUtf8(text), stored)) {
        WriteLog(L"the stored list sequence [" + SequencePath() + L"] is not a number and is ignored");
        stored = 0;
    }
    return stored;
}

}  // namespace

long long InstalledListSequence() {
    const long long stored = StoredListSequence();
    // The installed list says which release is installed even where the stored sequence is
    // missing (an install from before it was kept, or a file lost since).
    long long installed = 0;
    std::string list;
    if (mv::ReadFileBytes(mv::ReduceBackslashes(GetAppDir() + L"\\mirovane.xml"), list, static_cast<long long>(kMaxListBytes))) {
        mv::ComInit com;
        mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
        mv::ComPtr<IXMLDOMElement> root;
        std::wstring value;
        if (doc && mv::LoadXmlBytes(doc.get(), list) == mv::XmlLoad::Ok && doc->get_documentElement(root.put()) == S_OK &&
            root && RootChildText(root.get(), L"sequence", value) && !ParseSequence(value, installed))
            installed = 0;
    }
    return stored > installed ? stored : installed;
}

void StoreInstalledListSequence(const DownLoadList& list) {
    const auto found = list.properties.find(kSequenceProperty);
    long long sequence = 0;
    if (found == list.properties.end() || !ParseSequence(found->second, sequence)) return;
    if (sequence <= StoredListSequence()) return;
    const std::wstring path = SequencePath();
    const std::wstring temp = path + L".~new";
    if (!mv::WriteFileBytes(temp, std::to_string(sequence)) ||
        !MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        WriteLog(mv::Format(L"MoveFileEx [%s] failed (%lu): the list sequence was not stored", path.c_str(), GetLastError()));
        DeleteFileW(temp.c_str());
    }
}
