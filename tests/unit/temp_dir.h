// A private temporary directory per test, removed with its files afterwards.
#pragma once
#include <windows.h>

#include <string>

#include "util/file_tree.h"
#include "util/files.h"
#include "util/text.h"

class TempDir {
public:
    explicit TempDir(const wchar_t* tag = L"mvtest") {
        wchar_t base[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, base);
        static LONG counter = 0;
        path_ = mv::Format(L"%s%s-%lu-%ld\\", base, tag, GetCurrentProcessId(), InterlockedIncrement(&counter));
        mv::CreateDirTree(path_);
    }
    ~TempDir() { DeleteTree(path_); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};
