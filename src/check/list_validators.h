// What the check remembers beside each cached list (the list and the main list, plain or
// zipped) so that the next check can ask the server "has it changed?" instead of fetching it
// again: the address, the server's ETag and Last-Modified, which form was found, the size and
// hash of the cached copy, and the day the zipped form was last found missing.
// Pure rules: values in, values out. The file beside the copy is "<copy>.meta" (UTF-8 lines
// "key=value").
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

struct ListValidators {
    std::wstring url;            // the address (plain form) these values belong to
    std::wstring etag;           // as the server sent it, quotes included
    std::wstring lastModified;   // HTTP date as the server sent it
    bool zipped = false;         // the last check found the zipped form
    uint64_t size = 0;           // size of the cached copy
    uint64_t hash = 0;           // FNV-1a of the cached copy
    long long zipMissingDay = 0; // day stamp when the zipped form last answered 404 (0: never)
};

// Longest ETag or Last-Modified kept; longer or control characters: not kept.
constexpr size_t kMaxValidatorChars = 256;

// The file that holds the validators of a cached copy: "<copy>.meta".
std::wstring ValidatorsFileOf(const std::wstring& copyPath);
std::string FormatValidators(const ListValidators& v);
// Unknown keys and unusable values are skipped; a broken file gives empty values.
ListValidators ParseValidators(std::string_view text);

// A header value safe to send back: printable, no CR/LF, not too long.
bool ValidatorUsable(const std::wstring& value);
// The request headers of a conditional request for `url` ("If-None-Match" and/or
// "If-Modified-Since", each line ending in CR LF), or empty when `v` is for another address,
// another form or holds nothing usable.
std::wstring ConditionalHeaders(const ListValidators& v, const std::wstring& url, bool zipped);

// Day stamp: whole days since 1 January 2011 (UTC); a value, so that tests can pass any day.
long long DayStampFromUnixSeconds(long long unixSeconds);
// The zipped form is asked for first only when the last check of this address found it.
bool ZippedFormFirst(const ListValidators& v, const std::wstring& url);
// The zipped form may be asked for (as the second try) unless it answered 404 for this
// address on `today` already: at most one such 404 per address and day.
bool ZippedFormWorthTrying(const ListValidators& v, const std::wstring& url, long long today);

// FNV-1a 64 of the bytes (detects a damaged or replaced cached copy).
uint64_t ContentHash(std::string_view bytes);
