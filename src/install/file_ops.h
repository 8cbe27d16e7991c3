// The file operations of the install step, one at a time, each announced to an optional
// observer afterwards. Each operation is a single rename, copy, write or delete, so the
// state on disk between two of them is what a power cut or a kill would leave.
#pragma once
#include <functional>
#include <string>
#include <vector>

// Installs the observer (null removes it). Called on the installing thread after every
// file operation of the copy step, of recovery and of the backup list: each rename, delete,
// write, piece of a copy, directory made, access change, shortcut and task.
void SetFileOperationObserver(std::function<void()> observer);
void NoteFileOperation();

// Renames within one volume; with MOVEFILE_WRITE_THROUGH so the rename is on disk when it
// returns. Never replaces an existing file unless `replace` is set. Logs a failure.
bool RenameFile(const std::wstring& from, const std::wstring& to, bool replace = false);
// Clears the attributes and deletes the file (exactly this path, no relative lookup).
bool DeleteFileNow(const std::wstring& path);
// Copies `from` to a new file `to` (which must not exist) and flushes it to disk; a partial
// copy (full disk, read error) is removed again. Logs a failure.
bool CopyFileFlushed(const std::wstring& from, const std::wstring& to);
// Puts `from`'s bytes at the new name `to` without flushing them (FlushStagedFiles does that
// for all at once): with `link`, as a second name of the same file when both are on one
// volume, given the access `to`'s directory hands down as a copy made there would have;
// otherwise, or when that fails, as a copy. Logs a failure.
bool StageFile(const std::wstring& from, const std::wstring& to, bool link);
// Flushes the files to disk together. Logs a failure.
bool FlushStagedFiles(const std::vector<std::wstring>& paths);
// Writes bytes to `path` through a private temporary name beside it (util/file_replace.h):
// flushed, then renamed over it. Logs a failure.
bool WriteFileAtomically(const std::wstring& path, const std::string& bytes);
// True when something (file or directory) exists at the path.
bool PathExists(const std::wstring& path);
