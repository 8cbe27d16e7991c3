// Settings: every read of mirovane.ini goes through the cache in GlobalValues, so a value
// is read from disk at most once per process; writes change only the cache.
#pragma once
#include <string>
#include <utility>

#include "util/files.h"

// Cache key of a setting: section name immediately followed by key name.
std::wstring SettingCacheKey(const std::wstring& section, const std::wstring& key);

std::wstring ReadSetting(const std::wstring& section, const std::wstring& key);
std::wstring ReadSettingOr(const std::wstring& section, const std::wstring& key, const std::wstring& def);
bool ReadSettingBool(const std::wstring& section, const std::wstring& key, const std::wstring& def);
// [Mirovane] MaxUnpackedMB in bytes (default and any value below 1: 1024 MB): the most a
// zipped download may unpack to when the list names no size for it.
unsigned long long MaxUnpackedBytes();
// Always reads `file` (no cache lookup), then caches the value under the usual key.
std::wstring ReadSettingFrom(const std::wstring& file, const std::wstring& section, const std::wstring& key);
// Stores in the cache; mirovane.ini is never written, so a value lasts for this process.
// The two keys kept in the temporary copy (OwerCheckTm, ListFileZip) are also written there.
void WriteSetting(const std::wstring& section, const std::wstring& key, const std::wstring& value);

// The Boolean rule: lower-case, trim, "t" and "y" count as "1", true when it then begins with "1".
bool ParseSettingBool(const std::wstring& value);

// Directories. The application directory (GetAppDir, SetAppDir) is kept by util/files.h,
// because relative file paths are taken from it.
// The working directory: the application directory with [Mirovane] TempAppPath, [Mirovane]
// TempPath when set, else, in an elevated copy, the private directory (util/private_dir.h),
// or the application directory when that may not serve; else the user's temporary directory.
std::wstring GetTempDir();
// The private directory (path or empty) and why it may not serve, decided once per process.
const std::pair<std::wstring, std::wstring>& PrivateDirDecision();
// Why the private directory was refused, when it is the one this copy would use; else empty.
std::wstring WorkingDirRefusal();
// True when no other user can have written the working directory: the application directory,
// the private directory, or any directory of a copy that is not elevated (what it reads, its
// own user wrote). A TempPath an elevated copy is given may be anyone's.
bool WorkingDirIsTrusted();
// Full path of mirovane.ini in the application directory.
std::wstring SettingsFilePath();

// Cache name of a list address: "XXXX-XXXXXX" (ten hexadecimal digits).
std::wstring ListCacheName(const std::wstring& text);
// Files named after a list cache path (normally ListCacheXmlPath()):
std::wstring PinnedListCopyOf(const std::wstring& cache);  // <cache>.xml: the quick check's copy
std::wstring ListSourceCopyOf(const std::wstring& cache);  // <cache>.src.xml: the list as the server sent it
std::wstring MainListCopyOf(const std::wstring& cache);    // <cache>.main.xml: the main list as sent
// A per-list cache path, for a given temporary directory and list address (the current ones
// are in config/list_source.h).
std::wstring ListCachePathFor(const std::wstring& tempDir, const std::wstring& listUrl, const std::wstring& suffix);
