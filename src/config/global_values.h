// GlobalValues: the one process-wide map from text key to text value. It holds the
// settings cache (key = section name + key name) and the run-time values that pass
// between modules ("commandline", "runmode", "updateskin", "__down|<path>", package fields).
// Thread-safe: every access takes the map's own critical section.
#pragma once
#include <optional>
#include <string>

namespace GlobalValues {

std::optional<std::wstring> Find(const std::wstring& key);
std::wstring Get(const std::wstring& key);  // empty when missing
bool Has(const std::wstring& key);
void Set(const std::wstring& key, const std::wstring& value);
void Remove(const std::wstring& key);
void Clear();

}  // namespace GlobalValues
