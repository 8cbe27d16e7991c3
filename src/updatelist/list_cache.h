// Cache files of the remote list and the optional settings package in the temporary directory.
#pragma once
#include <string>

// The settings package <temp>\<list cache name>.bin is a zip archive produced outside this
// program (for example by the host program's installer). It must be encrypted with the
// traditional zip cipher under this password and hold one entry of this name: an XML text in
// the ANSI code page whose top-level element "fields" has one child element per value.
extern const char kSettingsPackagePassword[];
extern const wchar_t kSettingsPackageEntry[];

// Whole hours from local 1 January 2011 00:00 to the given local time (to now without one).
long long HourStamp();
long long HourStampAt(const struct _SYSTEMTIME& localTime);
// Records `stamp` as the hour of the last check ([Mirovane] OwerCheckTm, temporary copy).
void WriteCheckStamp(long long stamp);
// Path of the settings package.
std::wstring SettingsPackagePath();

// Download limits taken from the package: files at once (1..50) and connections per file
// (1..100); 8 each until a package sets them.
int DownloadFilesAtOnce();
int DownloadConnectionsPerFile();
// Takes the limits from GlobalValues "threadcount" and "filethread", clamped (the package
// loader calls it; so may anything else that sets those values).
void ApplyDownloadLimits();

// Ages the settings package; called at the end of a session.
void ListCacheBookkeeping();
// The same against a given hour stamp for "now".
void ListCacheBookkeepingAt(long long now);
// Copies the settings package's values into GlobalValues; true when it held at least one.
bool LoadSettingsPackage();
// Copies the children of the top-level "fields" element of an XML text into GlobalValues,
// only those named "threadcount", "filethread", "updateurl" and "fromqwebsvr" (other
// children are ignored: the package must never reach a setting); true when there was one.
bool ApplySettingsPackageText(const std::wstring& xml);
