// Step 2 of an update: downloads every file of the download list into its work directory,
// several at once, zipped form first; keeps the done count and the failed list across passes.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "download/segmented.h"
#include "updatelist/download_list.h"

// One pass over the download list (the first pass of a session fetches every entry, a pass
// at stage UpdateDownloadError only the entries that failed). Leaves UpdateDownloadOk or
// UpdateDownloadError as the stage; always returns true.
bool DownloadAllFiles(HWND window, DownLoadList& list);

// Entries finished in this session (downloaded or needing no download).
int DownloadDoneCount();
// Indices of the entries that failed in the last pass, in the order they failed.
std::vector<unsigned> DownloadFailedList();
// Forgets the done count and the failed list (DownloadAllFiles does this at a session's start).
void ResetDownloadSession();

// Downloads one entry to `localName` (zipped form first; for index -1, the update list, the
// form [Mirovane] ListFileZip names first). An entry (index >= 0) ends as localName + "_".
// `limits` bounds each download (and, through maxBytes, the unzipped list). 0 on success, 1 on failure.
// `zippedFirst`: 1 asks for the zipped form first, 0 for the file itself (the list said which
// exists), -1 decides as before (list files: zipped first).
int FetchUpdateFile(HWND window, int index, const std::wstring& url, const std::wstring& localName, bool single,
                    const DownloadLimits& limits = {}, int zippedFirst = -1);
// A file the list says is at most this large is fetched with one request on one connection.
constexpr long long kOneRequestBytes = 256 * 1024;

// Pure rules of the scheduler.
// True when a record path names a file strictly below the download directory: relative, no
// drive, no stream, no ".." component, not empty.
bool IsSafeLocalName(const std::wstring& path);
// Case-folded form of a local name with "/" as "\" and doubled backslashes reduced, so that
// two records that land on the same file compare equal.
std::wstring NormalizedLocalName(const std::wstring& path);
// The download URL of a record: its own url, else the pattern with {listurl-base} and
// {filename} filled in, slashes normalised.
std::wstring RecordDownloadUrl(const std::wstring& recordUrl, const std::wstring& pattern,
                               const std::wstring& listUrlBase, const std::wstring& path);
