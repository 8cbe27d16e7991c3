// Where the update list comes from, resolved from the settings in one place: the addresses of
// the list and the main list, the base that relative file addresses start from, and the names
// of the list's cache files in the temporary directory. Nothing else reads [UPDATEINFO]
// ListURL or MainListURL. Any thread.
#pragma once
#include <string>

struct ListSource {
    std::wstring configured;  // [UPDATEINFO] ListURL as written
    std::wstring url;         // with its parameters ({param1}, [param2], {param}, ...) filled in
    std::wstring mainUrl;     // [UPDATEINFO] MainListURL, or the built-in default
    std::wstring base;        // the list's directory: relative file addresses start there
    std::wstring cacheDir;    // <temp>\<name>
    std::wstring cacheXml;    // <temp>\<name>.xml
    std::wstring cacheLst;    // <temp>\<name>.lst
};

// The main list's address when the settings name none.
constexpr wchar_t kDefaultMainListUrl[] = L"http://update.mirovane.invalid/mirovane.xml";

// Pure: the source for these setting values and temporary directory.
struct ListSettings {
    std::wstring listUrl, mainListUrl, parameter1, parameter2, parameter, tempDir;
};
ListSource MakeListSource(const ListSettings& settings);

// The process's source, resolved from the settings on first use. ResolveListSource reads the
// addresses again (after the sample settings filled them in); the cache names stay what they
// were first, as the files already written under them do. ResetListSource forgets it all
// (tests that change the settings).
ListSource CurrentListSource();
void ResolveListSource();
void ResetListSource();

// Shortcuts to the cache names of the current source.
std::wstring ListCacheDir();
std::wstring ListCacheXmlPath();
std::wstring ListCacheLstPath();
std::wstring ListCacheIniPath();  // <temp>\<name>.ini (only ever deleted, by the clean-up)

// Fills the list parameters into an address: "[param1]"/"{param1}" with `parameter1`, the same
// for 2 and for the plain "[param]"/"{param}".
std::wstring ApplyListParametersWith(const std::wstring& url, const std::wstring& parameter1,
                                     const std::wstring& parameter2, const std::wstring& parameter);
// The same with [UPDATEINFO] Parameter1, Parameter2 and Parameter (for addresses a version
// page names).
std::wstring ApplyListParameters(const std::wstring& url);
// The directory of a list address (without its query); empty when it has none.
std::wstring ListBaseOf(const std::wstring& url);
