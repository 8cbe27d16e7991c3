#include "install/targets.h"

#include "config/path_macros.h"
#include "config/settings.h"
#include "util/text.h"

namespace {

void ExpandList(const updatefileinfo& record, const std::wstring& listText, std::vector<std::wstring>& out) {
    const std::wstring def = ResolvePath(GetAppDir(), record.path);
    if (listText.empty()) return;
    std::wstring text = mv::ReplaceAll(mv::ReplaceAll(listText, L",", L";"), L"|", L";");
    for (const std::wstring& item : mv::Split(text, L';')) {
        if (item.empty()) continue;
        std::wstring path;
        if (item.find_first_of(L"\\/") != std::wstring::npos) {
            path = ResolvePath(GetAppDir(), item);
        } else {
            // A bare name replaces only the last component of the default target.
            const size_t cut = def.find_last_of(L"\\/");
            path = (cut == std::wstring::npos ? std::wstring() : def.substr(0, cut + 1)) + item;
        }
        bool seen = false;
        for (const std::wstring& p : out) seen = seen || p == path;
        if (!seen) out.push_back(path);
    }
}

}  // namespace

std::vector<std::wstring> InstallTargets(const updatefileinfo& record) {
    std::vector<std::wstring> out;
    ExpandList(record, record.desname, out);
    if (out.empty()) out.push_back(ResolvePath(GetAppDir(), record.path));
    return out;
}

std::vector<std::wstring> ShortcutPaths(const updatefileinfo& record) {
    std::vector<std::wstring> out;
    ExpandList(record, record.shortcut, out);
    return out;
}
