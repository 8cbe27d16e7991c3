#include "util/file_tree.h"

#include <windows.h>

#include "util/files.h"
#include "util/handle.h"

bool DeleteTree(const std::wstring& dir) {
    std::wstring base = dir;
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) base.pop_back();
    if (base.empty() || !mv::DirExists(base)) return !mv::DirExists(base);
    // A junction or directory link is removed as the link itself: entering it would delete
    // the tree it points to, wherever that is.
    if (GetFileAttributesW(base.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) {
        RemoveDirectoryW(base.c_str());
        return !mv::DirExists(base);
    }
    WIN32_FIND_DATAW fd;
    mv::FindHandle find(FindFirstFileW((base + L"\\*").c_str(), &fd));
    if (find) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring full = base + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                // A link, never followed: RemoveDirectory and DeleteFile act on the link itself
                // (attributes are left alone, setting them could reach the target).
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveDirectoryW(full.c_str());
                else
                    DeleteFileW(full.c_str());
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
