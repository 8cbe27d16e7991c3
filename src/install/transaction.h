// The install step as a transaction: new files are staged beside their targets, a journal
// names every target, backup and staged file before the first swap, the swaps rename the
// target aside and the staged file into place, and the journal is marked done before any
// backup goes. A journal found at start-up is rolled back (not done) or finished (done), so
// an interrupted install leaves either the whole old set or the whole new set.
#pragma once
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

#include "install/tasks.h"

struct JournalEntry {
    std::wstring target;
    std::wstring backup;  // empty when the target did not exist
    std::wstring staged;  // empty for a file that is removed
    bool existed = false;
};

struct Journal {
    bool committed = false;
    std::wstring version;     // installed version to store; empty: keep
    std::wstring workDir;     // the session's download directory, deleted when done
    std::wstring listStaged;  // the new installed list staged in the application directory
    std::wstring listTarget;  // mirovane.xml
    std::vector<JournalEntry> entries;
    std::vector<PostTask> tasks;  // after the commit: each marked done as it finishes
    std::vector<std::wstring> dirs;  // made for new files, parents first: a roll-back removes them
};

// UTF-8 lines, tab-separated fields, each with '%' and control characters as "%XX", so no
// text (a version from the network, a name) can add a field or a line.
std::string SerializeJournal(const Journal& journal);
// False for anything that is not a whole journal (the last line is an end marker).
bool ParseJournal(std::string_view bytes, Journal& journal);

std::wstring JournalPath();
// A journal that cannot be read: backups whose targets are gone are put back, and the journal
// is renamed aside (".unreadable") so that the next session can install.
void SetAsideUnreadableJournal();

// Runs the journal's tasks that are not done yet, in order, marking each done in the journal
// on disk as it finishes: a kill never loses a task, and a finished one never runs again.
void RunJournalTasks(Journal& journal, HWND window);
// Written through a temporary name, flushed and renamed.
bool WriteJournal(const Journal& journal);

// The directories the targets need that do not exist yet, parents before their children.
std::vector<std::wstring> MissingTargetDirs(const std::vector<JournalEntry>& entries);

// A backup name of the target that is free now (".__old", then ".__old0" to ".__old9");
// each name in use is logged. Empty when all are taken.
std::wstring FreeBackupName(const std::wstring& target);

// Renames each existing target to its backup and each staged file to its target, in order.
// False at the first failure (logged); the caller rolls back.
bool SwapEntries(const Journal& journal);
// Undoes whatever part of the journal happened, in reverse order, and removes staged files
// and the journal. False when something could not be put back (the journal then stays).
bool RollBack(const Journal& journal);
// Marks the journal done.
bool CommitJournal(Journal& journal);
// After the commit: deletes the backups that can go and records the rest in __oldfiles.lst.
void SettleBackups(const Journal& journal);
// After the tasks: deletes the download directory, stores the list and the version, and
// removes the journal.
bool FinishJournal(const Journal& journal);

// Start-up: rolls back or finishes a journal left by an interrupted install. The caller holds
// the install lock.
void RecoverInterruptedInstall();

// Start-up: deletes the backups recorded by the previous update, after finishing or rolling
// back an interrupted install; does nothing while another process installs into the directory.
void DeleteRecordedBackups();

// The installed version, kept in the application directory because the settings file is
// rewritten from the built-in copy at every start.
std::wstring InstalledVersionPath();
bool StoreInstalledVersion(const std::wstring& version);
// Puts the stored version into [APPLICATION] Ver for this process (start-up).
void LoadInstalledVersion();
// True when `dir` may be deleted as the session's download directory: strictly below the
// temporary directory, and neither the application directory nor one of its parents.
bool IsDeletableWorkDir(const std::wstring& dir, const std::wstring& tempDir, const std::wstring& appDir);
