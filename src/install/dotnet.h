// The .NET Framework prerequisite of the host program: which versions are installed, which
// one the settings require, and the offer to download and run the installer.
#pragma once
#include <windows.h>

#include <array>
#include <functional>
#include <optional>
#include <string>

// Installed versions, in the order "1.0", "1.1", "2.0", "3.0", "3.5", "4.0", "4.5".
constexpr int kDotNetVersionCount = 7;
using DotNetFlags = std::array<bool, kDotNetVersionCount>;

// --- pure rules

// Index of a version text in DotNetFlags ("2" and "2.0" are the same), or -1 when the text
// is not a version we know (which then requires nothing).
int DotNetVersionIndex(const std::wstring& version);
// Marks every version whose folder name ("v4.0.30319", "v2.0.50727") `dirName` begins with.
void MarkDotNetFolder(const std::wstring& dirName, DotNetFlags& flags);
// 4.5 and later install into the v4.0 folder; only the Release value of
// NDP\v4\Full tells them apart (378389 is 4.5).
constexpr DWORD kDotNet45Release = 378389;
// Flags from the folders under <windowsDir>\Microsoft.NET\Framework and the Release value
// (nullopt when the key or value is missing).
DotNetFlags DetectDotNetIn(const std::wstring& windowsDir, std::optional<DWORD> release);
// The required version from the settings of [Mirovane]: the first non-empty of dotnetfx10 ..
// dotnetfx40 names its version, else the first non-empty of DotNetFix, DotNetFx, dotnetfix,
// dotnetfx is the version text. `read` returns a key's value.
std::wstring RequiredDotNetVersionFrom(const std::function<std::wstring(const wchar_t* key)>& read);
// "4.0" -> "40", "4" -> "40", "3.5" -> "35".
std::wstring DotNetVersionCode(const std::wstring& version);
// "40" -> "4.0".
std::wstring DotNetVersionFromCode(const std::wstring& code);
// The installer address: the configured one when not empty, else <server>/dotnetfx/dotnetfx<code>.exe
// for the codes we know when a server is configured, else empty.
std::wstring DotNetInstallerAddress(const std::wstring& code, const std::wstring& configured,
                                    const std::wstring& server);
// Local installer path: <tempDir>\<last "/" or "\" component of the address>; empty when the
// address names no file (or only "." / "..").
std::wstring DotNetInstallerPath(const std::wstring& tempDir, const std::wstring& url);
// True for an https:// address (case-insensitive).
bool IsHttpsAddress(const std::wstring& url);

// --- the process

// Sets the process-wide installed-version flags (only ever sets, never clears).
void DetectDotNetVersions();
bool DotNetInstalled(int index);
std::wstring RequiredDotNetVersion();
// True when the text is a known version and it is not installed.
bool IsDotNetMissing(const std::wstring& version);

// The start-up check: detect, and offer the installer when the required version is missing.
void CheckDotNetAtStartup();
// The message box, or the download dialog when there is an installer address.
void OfferDotNetInstall(HWND owner, const std::wstring& version);

// The download dialog lives with the windows; the application registers it at start-up.
// Without it the offer falls back to the message.
using DotNetDialogRunner = void (*)(HWND owner, const std::wstring& url, const std::wstring& version);
void RegisterDotNetDialog(DotNetDialogRunner runner);

// True when the installer may run elevated: it came over https, or its Authenticode
// signature verifies.
bool InstallerTrusted(const std::wstring& url, const std::wstring& path);
// Starts the downloaded installer with administrator rights ("runas"), not waited for.
// Refuses (a message box owned by `owner`, a log line, false) when it is not trusted.
bool RunDotNetInstaller(HWND owner, const std::wstring& url, const std::wstring& path);
