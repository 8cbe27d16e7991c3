// File-system helpers over the Win32 file functions (UTF-16 paths).
#pragma once
#include <string>

namespace mv {

bool FileExists(const std::wstring& path);       // a file, not a directory
bool DirExists(const std::wstring& path);
bool CreateDirTree(const std::wstring& path);    // creates the parents too; true when it exists after
bool ReadFileBytes(const std::wstring& path, std::string& out);
// Creates or truncates the file and writes the bytes.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Drive, directory (with trailing backslash) and base name of a path.
std::wstring PathDir(const std::wstring& path);
std::wstring PathBaseName(const std::wstring& path);  // without directory and extension
std::wstring ModulePath();                            // full path of the running executable

}  // namespace mv
