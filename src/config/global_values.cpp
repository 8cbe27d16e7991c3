#include "config/global_values.h"

#include <map>
#include <mutex>

namespace GlobalValues {
namespace {
std::mutex& Mutex() {
    static std::mutex m;
    return m;
}
std::map<std::wstring, std::wstring>& Map() {
    static std::map<std::wstring, std::wstring> m;
    return m;
}
}  // namespace

std::optional<std::wstring> Find(const std::wstring& key) {
    std::lock_guard<std::mutex> lock(Mutex());
    auto it = Map().find(key);
    if (it == Map().end()) return std::nullopt;
    return it->second;
}

std::wstring Get(const std::wstring& key) { return Find(key).value_or(std::wstring()); }

bool Has(const std::wstring& key) { return Find(key).has_value(); }

void Set(const std::wstring& key, const std::wstring& value) {
    std::lock_guard<std::mutex> lock(Mutex());
    Map()[key] = value;
}

void Remove(const std::wstring& key) {
    std::lock_guard<std::mutex> lock(Mutex());
    Map().erase(key);
}

void Clear() {
    std::lock_guard<std::mutex> lock(Mutex());
    Map().clear();
}

}  // namespace GlobalValues
