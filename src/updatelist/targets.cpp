#include "updatelist/targets.h"

#include "config/path_macros.h"
#include "util/files.h"
#include "util/text.h"

std::wstring DefaultTarget(const std::wstring& path) {
    // A drive path keeps its "/" through ResolvePath; the file system takes either, but a
    // bare name must replace the last component whichever separator the list used.
    return mv::ReplaceAll(ResolvePath(GetAppDir(), path), L"/", L"\\");
}

int ExpandTargetList(const std::wstring& path, const std::wstring& listText, std::vector<std::wstring>& out) {
    if (listText.empty()) return static_cast<int>(out.size());
    const std::wstring def = DefaultTarget(path);
    const size_t cut = def.find_last_of(L'\\');
    const std::wstring dir = cut == std::wstring::npos ? std::wstring() : def.substr(0, cut + 1);
    const std::wstring text = mv::ReplaceAll(mv::ReplaceAll(listText, L",", L";"), L"|", L";");
    const size_t before = out.size();
    for (const std::wstring& item : mv::Split(text, L';')) {
        if (item.empty()) continue;
        const std::wstring target = item.find_first_of(L"\\/") != std::wstring::npos ? DefaultTarget(item) : dir + item;
        bool seen = false;
        for (size_t i = before; i < out.size() && !seen; ++i) seen = out[i] == target;
        if (!seen) out.push_back(target);
    }
    return static_cast<int>(out.size());
}

std::vector<std::wstring> InstallTargets(const updatefileinfo& record) {
    std::vector<std::wstring> out;
    ExpandTargetList(record.path, record.desname, out);
    if (out.empty()) out.push_back(DefaultTarget(record.path));
    return out;
}

std::vector<std::wstring> ShortcutPaths(const updatefileinfo& record) {
    std::vector<std::wstring> out;
    ExpandTargetList(record.path, record.shortcut, out);
    return out;
}
