// Post-update tasks: task files, the run list, library registration, shortcuts and the
// task loop of the copy step. Run on the installing thread with COM initialised.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "updatelist/download_list.h"

// Runs a file: an XML task file (".xml") through RunTaskFile, anything else started as a
// program (install/run_file.h). `path` has its macros expanded and, without a drive, is taken
// relative to the application directory. True when a program was started or a task file run;
// a missing program starts nothing and is not reported.
bool RunFile(const std::wstring& path, const std::wstring& workDir, const std::wstring& params, HWND window, bool wait);

// Loads the XML task file and runs its elements in document order. A task file may run
// another; beyond kMaxNestedTaskFiles files deep (a file that runs itself) the next one is
// logged and not run.
constexpr int kMaxNestedTaskFiles = 16;
void RunTaskFile(const std::wstring& path, HWND window);

// A run entry: path, parameters and wait field, split at "9" before macros are expanded.
struct RunEntry {
    std::wstring path, params, wait;
};
RunEntry SplitRunEntry(const std::wstring& packed);
// Empty, "no", "false", "off", "0" and "n"/"f" do not wait; 1, yes, true, on do; other
// text waits when, with y, t and o read as 1, it holds a 1.
bool RunEntryWaits(const std::wstring& wait);
// The log text "Run[path][params][wait|nowait]" with empty brackets removed.
std::wstring RunEntryMessage(const RunEntry& entry, bool wait);
bool RunCommand(const std::wstring& command, HWND window);

bool RegisterLibrary(const std::wstring& path);
// The shortcut file name: ".lnk" appended unless the name already ends in it.
std::wstring ShortcutFileName(const std::wstring& path);
// True when the bytes start like a shell link file.
bool LooksLikeShellLink(const std::string& bytes);
bool CreateShortcut(const std::wstring& target, const std::wstring& workDir, const std::wstring& shortcut,
                    const std::wstring& icon, int iconIndex);
void CreateShortcutsForFile(const std::wstring& target, const std::wstring& icon, int iconIndex,
                            const std::vector<std::wstring>& shortcuts, HWND window);
// A task to run after the swap: "register" a library, "run" a file, or a run-list "command".
struct PostTask {
    std::wstring kind;
    std::wstring text;
    bool done = false;
};
// The tasks of an installed list, in the order they run: the shortcuts of the `installed`
// records, the records' registrations and runs,
// then the run list. Sets the list's reboot flag.
std::vector<PostTask> PlanPostTasks(DownLoadList& list, const std::vector<int>& installed = {});
// Tells the status window of each file the list removed.
void NoteRemovedFiles(HWND window, const DownLoadList& list);
void RunPostTask(const PostTask& task, HWND window);
