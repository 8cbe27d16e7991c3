// Backups of replaced files, recorded in __oldfiles.lst, and the icacls grant.
#pragma once
#include <string>
#include <string_view>
#include <vector>

// Deletes the backups listed in __oldfiles.lst (our own backup names below the application
// directory only), then the list when all are gone. The caller holds the install lock.
// True when nothing listed is left.
bool DeleteListedBackups();

// Appends "\r\n" + path (ANSI code page) to __oldfiles.lst in the application directory.
void RecordBackup(const std::wstring& path);

// Lines of __oldfiles.lst: split at LF (a CR before it dropped), each cut to 1023 bytes,
// trimmed, empty lines skipped.
std::vector<std::wstring> ParseOldFilesList(std::string_view bytes);
// True when the name ends in ".__old" or ".__old0" to ".__old9" (case-insensitive).
bool IsBackupName(const std::wstring& path);
// The backup names of a target in the order they are tried.
std::vector<std::wstring> BackupNameCandidates(const std::wstring& target);

// The icacls program ({sys}\icacls.exe) when [Mirovane] icacls is on and it exists; else empty.
std::wstring IcaclsProgram();
// Command line of the grant: the path in double quotes, the Users group by its SID.
std::wstring IcaclsParameters(const std::wstring& path);
// Starts icacls hidden, without waiting; nothing when the program is empty.
void GrantUsersDelete(const std::wstring& program, const std::wstring& path);
void GrantUsersDeleteAll(const std::wstring& program, const std::vector<std::wstring>& targets);
