// File-system helpers over the Win32 file functions (UTF-16 paths).
#pragma once
#include <string>

namespace mv {

bool FileExists(const std::wstring& path);       // a file, not a directory
bool DirExists(const std::wstring& path);
bool CreateDirTree(const std::wstring& path);    // creates the parents too; true when it exists after
// Reads the whole file; false when it cannot be read or is larger than `maxBytes`.
bool ReadFileBytes(const std::wstring& path, std::string& out, long long maxBytes = 0x7FFFFFFF);
// Creates or truncates the file and writes the bytes.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
// Drive, directory (with trailing backslash) and base name of a path.
std::wstring PathDir(const std::wstring& path);
std::wstring PathBaseName(const std::wstring& path);  // without directory and extension
std::wstring ModulePath();                            // full path of the running executable

}  // namespace mv

// The application directory (always ends with a backslash): the directory of the running
// executable until start-up sets the real one. Relative file paths are taken from it.
// Thread-safe.
std::wstring GetAppDir();
void SetAppDir(const std::wstring& dir);

// Local path of `name` under `dir`; a name with a drive is returned as it is.
std::wstring JoinPath(const std::wstring& dir, const std::wstring& name);
// Clears the attributes and deletes the file; a relative path is taken from the
// application directory. True when the file was deleted.
bool RemoveFile(const std::wstring& path);
