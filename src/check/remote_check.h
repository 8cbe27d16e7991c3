// Step 1 of an update: fetch the remote list and fill the download list.
// One check runs at a time in a process; a second entry while one runs returns at once.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "updatelist/download_list.h"

// Entry used by the windows and the drivers: with [APPLICATION] CheckVerNumber only the
// version page is read (stage UpdateCheckRemoteOk when it names a version), otherwise the
// whole check runs. Always returns 0.
int StartRemoteCheck(HWND window, DownLoadList& list);
// The whole step with its reporting; `window` (or null) receives the status texts.
void RunRemoteCheck(HWND window, DownLoadList& list);

// An elevated copy's start from the list the first copy saved (already loaded into `list`):
// its working directory is this copy's own; without a key the records must pass the rules a
// fresh list's pass; with a key the saved update list and main list must verify again in
// their roles (signature, sequence, expiry, product) and the records, tasks and document are
// rebuilt from those bytes, never taken from the saved form. False (logged, the list emptied
// of nothing usable) when the saved list may not be continued from.
bool ContinueFromSavedList(DownLoadList& list);

// Joins the threads of raced lists that lost (each ends by its check's deadline). Called by
// the application before it ends.
void JoinCheckThreads();

// The hidden copy's work ("downparam0"/"downparam1"): fetches the list and the main list as a
// check does, into private temporary files, and moves them over the cache files. Runs no
// hooks, shows no box, sets no stage and starts no other copy. True when the cache was renewed.
bool RefreshListCache();

// Version page reading, for the check and its tests: fetches `url` (at most 64 KiB within
// `seconds`) and returns true with the version and list addresses it names.
bool ProbeVersionPage(const std::wstring& url, long seconds, std::wstring& version, std::vector<std::wstring>& urls);

// The race of candidate lists, for the check and its tests: the first candidate that arrives
// (verified, when lists are signed) and loads as a list wins, its address in `winner` and its
// bytes in `bytes`; false when none did within `seconds`. Each candidate passes through a
// private scratch file beside `cache` that it removes itself.
bool RaceLists(HWND window, const std::vector<std::wstring>& urls, const std::wstring& cache, long seconds,
               std::wstring& winner, std::string& bytes, std::string* signature = nullptr);
