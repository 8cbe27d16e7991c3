#include "check/check_rules.h"

#include <algorithm>

#include <cwctype>
#include <unordered_map>

#include "download/http.h"
#include "lang/language.h"
#include "util/text.h"

namespace {

bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f' || c == L'\v'; }

std::wstring TrimAll(std::wstring_view s) {
    size_t a = 0, b = s.size();
    while (a < b && IsSpace(s[a])) ++a;
    while (b > a && IsSpace(s[b - 1])) --b;
    return std::wstring(s.substr(a, b - a));
}

// Every value that follows an opening tag (name matched without regard to case) up to the
// next "<"; a value with no "<" after it is incomplete and left out.
std::vector<std::wstring> TagValues(const std::wstring& text, const std::wstring& lowerText, const wchar_t* tag) {
    std::vector<std::wstring> values;
    const std::wstring open = std::wstring(L"<") + tag + L">";
    for (size_t at = lowerText.find(open); at != std::wstring::npos; at = lowerText.find(open, at + 1)) {
        const size_t start = at + open.size();
        const size_t end = text.find(L'<', start);
        if (end == std::wstring::npos) break;
        values.push_back(TrimAll(std::wstring_view(text).substr(start, end - start)));
    }
    return values;
}

bool IsWebAddress(const std::wstring& url) {
    const std::wstring lower = mv::ToLower(url);
    return lower.rfind(L"http://", 0) == 0 || lower.rfind(L"https://", 0) == 0;
}

}  // namespace

VersionPage ParseVersionPage(std::string_view page) {
    VersionPage out;
    if (page.size() > kMaxVersionPageBytes) {
        out.notes.push_back(mv::Format(Translate(L"MAIN", L"version page longer than %zu bytes refused").c_str(), kMaxVersionPageBytes));
        return out;
    }
    // A zero byte ends the page as it ends a line of text.
    const std::string_view bytes = page.substr(0, page.find('\0'));
    const std::wstring text = mv::FromCodePage(bytes, CP_ACP);
    // Lower-casing keeps positions: the page is read by tag position, the values from the original.
    std::wstring lower = text;
    for (wchar_t& c : lower) c = static_cast<wchar_t>(std::towlower(c));
    if (lower.size() != text.size()) return out;

    const std::vector<std::wstring> versions = TagValues(text, lower, L"ver");
    if (!versions.empty()) {
        const std::wstring& v = versions.front();
        if (v.size() > kMaxVersionChars)
            out.notes.push_back(mv::Format(Translate(L"MAIN", L"version text longer than %zu characters refused").c_str(), kMaxVersionChars));
        else if (std::any_of(v.begin(), v.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; }))
            // It is stored and written to the journal: a line break must not become a line.
            out.notes.push_back(Translate(L"MAIN", L"version text with control characters refused"));
        else
            out.version = v;
    }
    for (const std::wstring& url : TagValues(text, lower, L"url")) {
        if (url.empty()) continue;
        if (!IsWebAddress(url)) {
            out.notes.push_back(mv::Format(Translate(L"MAIN", L"list address refused (http and https only): %s").c_str(),
                                         url.substr(0, 200).c_str()));
            continue;
        }
        if (out.urls.size() == kMaxCandidateLists) {
            out.notes.push_back(mv::Format(Translate(L"MAIN", L"more than %zu list addresses: the rest are ignored").c_str(), kMaxCandidateLists));
            break;
        }
        out.urls.push_back(url);
    }
    return out;
}

namespace {

bool IsDeviceName(std::wstring part) {
    // "NUL.txt" and "con " name devices too: the name before the first dot, trailing blanks off.
    part = part.substr(0, part.find(L'.'));
    while (!part.empty() && (part.back() == L' ' || part.back() == L'.')) part.pop_back();
    part = mv::ToLower(part);
    static const wchar_t* const kNames[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$", L"clock$"};
    for (const wchar_t* n : kNames)
        if (part == n) return true;
    if (part.size() == 4 && (part.rfind(L"com", 0) == 0 || part.rfind(L"lpt", 0) == 0) && part[3] >= L'0' &&
        part[3] <= L'9')
        return true;
    // The superscript digits name the same ports.
    if (part.size() == 4 && (part.rfind(L"com", 0) == 0 || part.rfind(L"lpt", 0) == 0) &&
        (part[3] == 0xB9 || part[3] == 0xB2 || part[3] == 0xB3))
        return true;
    return false;
}

// Only dots (and blanks, which Windows drops at a name's end): "..", "...", ". ." all climb.
bool IsClimbingPart(const std::wstring& part) {
    size_t dots = 0;
    for (wchar_t c : part) {
        if (c == L'.') ++dots;
        else if (c != L' ') return false;
    }
    return dots >= 2;
}

std::vector<std::wstring> PathParts(const std::wstring& path) {
    std::vector<std::wstring> parts;
    std::wstring cur;
    for (wchar_t c : path) {
        if (c == L'\\' || c == L'/') {
            parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    parts.push_back(cur);
    return parts;
}

std::wstring PartsProblem(const std::wstring& path) {
    for (wchar_t c : path) {
        if (c < 0x20) return Translate(L"MAIN", L"control character");
        if (c == L'*' || c == L'?') return Translate(L"MAIN", L"wildcard");
        if (c == L'<' || c == L'>' || c == L'"') return Translate(L"MAIN", L"character not allowed in a file name");
    }
    for (const std::wstring& part : PathParts(path)) {
        if (IsClimbingPart(part)) return L"\"..\" part";
        if (IsDeviceName(part)) return Translate(L"MAIN", L"device name");
    }
    return {};
}

}  // namespace

std::wstring RecordPathProblem(const std::wstring& path) {
    if (mv::Trim(path).empty()) return Translate(L"MAIN", L"empty path");
    if (path[0] == L'\\' || path[0] == L'/') return Translate(L"MAIN", L"rooted path");
    if (path.find(L':') != std::wstring::npos) return Translate(L"MAIN", L"drive or stream");
    return PartsProblem(path);
}

std::wstring InstallTargetProblem(const std::wstring& target) {
    const std::wstring t = mv::Trim(target);
    if (t.size() >= 2 && (t[0] == L'\\' || t[0] == L'/') && (t[1] == L'\\' || t[1] == L'/'))
        return Translate(L"MAIN", L"network or device path");
    // A drive letter's colon is the only one a target may hold.
    const size_t colon = t.find(L':');
    if (colon != std::wstring::npos) {
        const bool drive = colon == 1 && std::iswalpha(t[0]);
        if (!drive || t.find(L':', colon + 1) != std::wstring::npos) return Translate(L"MAIN", L"stream or bad drive");
    }
    return PartsProblem(t);
}

std::vector<std::wstring> DesnameItems(const std::wstring& desname) {
    std::wstring s = desname;
    for (wchar_t& c : s)
        if (c == L',' || c == L'|') c = L';';
    std::vector<std::wstring> out;
    for (const std::wstring& item : mv::Split(s, L';'))
        if (!item.empty()) out.push_back(item);
    return out;
}

std::wstring FileRecordProblem(const updatefileinfo& record) {
    std::wstring why = RecordPathProblem(record.path);
    if (!why.empty()) return why;
    for (const std::wstring& item : DesnameItems(record.desname)) {
        why = InstallTargetProblem(item);
        if (!why.empty()) return why;
    }
    return {};
}

std::wstring ChecksumQueryUrl(const std::wstring& service, const std::wstring& path) {
    // The file name is one parameter value: its own "&", "=", "?" and "#" must not end it.
    std::wstring name = EscapeUrl(path);
    name = mv::ReplaceAll(name, L"&", L"%26");
    name = mv::ReplaceAll(name, L"=", L"%3D");
    name = mv::ReplaceAll(name, L"?", L"%3F");
    name = mv::ReplaceAll(name, L"#", L"%23");
    return service + L"?FileUrl=" + name;
}

std::wstring DecodeChecksumReply(std::string_view body) {
    std::wstring text;
    const bool bom = body.size() >= 2 && static_cast<unsigned char>(body[0]) == 0xFF &&
                     static_cast<unsigned char>(body[1]) == 0xFE;
    bool wide = bom;
    if (!wide && body.size() >= 2 && body.size() % 2 == 0) {
        // Text in UTF-16LE has a zero in every high byte of the hexadecimal digits.
        wide = true;
        for (size_t i = 1; i < body.size() && wide; i += 2) wide = body[i] == 0;
    }
    if (wide) {
        const std::string_view units = body.substr(bom ? 2 : 0);
        text.resize(units.size() / 2);
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<wchar_t>(static_cast<unsigned char>(units[2 * i]) |
                                           (static_cast<unsigned char>(units[2 * i + 1]) << 8));
    } else {
        text = mv::FromCodePage(body, CP_ACP);
    }
    return TrimAll(text);
}

bool ChecksumUsable(const std::wstring& reply) {
    return reply.size() == 32 && reply != L"00000000000000000000000000000000";
}

std::wstring SubstituteVersion(const GUID& g) {
    return mv::Format(L"%08X%04X%04x%02X%02X%02X%02X%02X%02X%02X%02X", static_cast<unsigned>(g.Data1), g.Data2, g.Data3,
                      g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

namespace {
bool IsFileRecord(const updatefileinfo& r) { return r.action != RunTaskRecord && r.action != DescriptionRecord; }
std::wstring VersionKey(const std::wstring& v) { return mv::Trim(mv::ToLower(v)); }
}  // namespace

CompareResult CompareRecords(const RecordArray& remote, const RecordArray& installed, const CompareInput& in) {
    CompareResult out;
    // The first installed record of each path.
    std::unordered_map<std::wstring, const updatefileinfo*> byPath;
    for (const updatefileinfo& i : installed) byPath.emplace(i.path, &i);
    for (const updatefileinfo& r : remote) {
        if (IsFileRecord(r)) {
            const std::wstring why = FileRecordProblem(r);
            if (!why.empty()) {
                out.refused.push_back(mv::Format(Translate(L"MAIN", L"record refused (%s): %s").c_str(), why.c_str(), r.path.substr(0, 260).c_str()));
                continue;
            }
        }
        if (r.ver.empty()) continue;
        if (in.checkLostFiles && IsFileRecord(r) && !(r.action & ActionRemove) && in.targetsOf) {
            bool refused = false, lost = false;
            const std::vector<std::wstring> targets = in.targetsOf(r);
            // Every target is judged before any is looked at on disk.
            for (const std::wstring& t : targets) {
                const std::wstring why = InstallTargetProblem(t);
                if (!why.empty()) {
                    out.refused.push_back(mv::Format(Translate(L"MAIN", L"record refused (%s): %s").c_str(), why.c_str(), t.substr(0, 260).c_str()));
                    refused = true;
                    break;
                }
            }
            if (refused) continue;
            for (const std::wstring& t : targets)
                if (!in.targetExists(t)) {
                    lost = true;
                    break;
                }
            if (lost) {
                out.update.push_back(r);
                continue;
            }
        }
        const auto it = byPath.find(r.path);
        const updatefileinfo* found = it == byPath.end() ? nullptr : it->second;
        if (!found || VersionKey(found->ver) != VersionKey(r.ver)) out.update.push_back(r);
    }
    return out;
}

bool QuickCheckApplies(const std::wstring& runMode, bool quickSetting, bool versionPage) {
    if (versionPage || !quickSetting) return false;
    return runMode == L"checkforupdates" || runMode == L"appenternoprompt" || runMode == L"appenter";
}

bool CapDescription(std::wstring& description) {
    if (description.size() <= kMaxDescriptionChars) return false;
    description.resize(kMaxDescriptionChars);
    return true;
}
