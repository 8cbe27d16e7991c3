// Step 4 of an update (copy, tasks, clean-up, the installed list and version) and the start
// of the host program. Runs on the session's thread.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "updatelist/download_list.h"

// The step-4 entry: runs at stage 9 and leaves 12, or 11 when nothing could be installed
// (the installed files, list, version and downloaded files are then as before).
void RunCopyStep(HWND window, DownLoadList& list);
// The body of step 4; true when the new files are in place.
bool InstallAndFinish(HWND window, DownLoadList& list);
// The list file to install: the cached list, or its name repaired (".xml.xml" -> ".xml",
// else ".xml" appended) when only that exists. Empty when neither exists.
std::wstring InstalledListSource(const std::wstring& cachedList);
std::wstring RepairListName(const std::wstring& name);
// A download kept without unpacking ([Mirovane] UnZip=0): the index of its record, its name
// relative to the download directory ("<path>_" for the file itself, "<path>._.zip" for its
// zipped form) and which of the two it is. Only these names ever leave the download directory
// for the application directory; records that remove a file, describe or run tasks have none.
struct KeptDownload {
    size_t record;
    std::wstring name;
    bool archive;
};
std::vector<KeptDownload> KeptDownloadNames(const RecordArray& records);
// What became of starting the host program.
enum class HostStart {
    Started,
    NotStarted,       // nothing to start, already running, a missing prerequisite, a message shown
    ErrorPageClosed,  // the host program is missing and the person closed the error page: the
                      // updater is to end (exit code -1); the caller decides
};
// Starts the host program ([APPLICATION] Application); `interactive` allows questions.
// A missing .NET Framework prerequisite keeps it from starting (and is offered when
// interactive); a missing host program in interactive use runs the registered handler when
// the connection test succeeds, else shows a message.
HostStart StartHostProgram(bool interactive);
// The error page lives with the windows; the application registers its handler at start-up.
// It returns true when the page was shown and closed for good.
using HostMissingHandler = bool (*)(HWND owner);
void RegisterHostMissingHandler(HostMissingHandler handler);
// True when the connection test ([Mirovane] ConnectionTestUrl, else the web site) reaches its
// server.
bool InternetReachable();
