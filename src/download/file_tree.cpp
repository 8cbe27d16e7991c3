#include "download/file_tree.h"

#include <windows.h>

#include "download/http.h"
#include "util/files.h"
#include "util/handle.h"

bool DeleteTree(const std::wstring& dir) {
    std::wstring base = dir;
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
    if (base.empty() || !mv::DirExists(base)) return !mv::DirExists(base);
    WIN32_FIND_DATAW fd;
    mv::FindHandle find(FindFirstFileW((base + L"\\*").c_str(), &fd));
    if (find) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = base + L"\\" + name;
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                // A link: remove the link itself, never what it points to.
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!RemoveDirectoryW(full.c_str())) DeleteFileW(full.c_str());
            } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(full);
            } else {
                RemoveFile(full);
            }
        } while (FindNextFileW(find.get(), &fd));
    }
    find.reset();
    SetFileAttributesW(base.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(base.c_str());
    return !mv::DirExists(base);
}
