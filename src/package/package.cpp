#include "package/package.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "package/zip_reader.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

constexpr DWORD kCopyBlock = 64 * 1024;

uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

bool ReadAt(HANDLE file, uint64_t offset, void* buffer, DWORD size) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && ReadFile(file, buffer, size, &got, nullptr) && got == size;
}

// Copies `span` of `from` into a new file `to`; false (and no file) on any failure.
bool CopySpan(HANDLE from, const PackageSpan& span, const std::wstring& to, std::wstring& why) {
    mv::Handle out(CreateFileW(to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) {
        why = mv::Format(L"cannot create [%s] (%lu)", to.c_str(), GetLastError());
        return false;
    }
    std::vector<char> block(kCopyBlock);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(span.offset);
    bool ok = SetFilePointerEx(from, at, nullptr, FILE_BEGIN) != FALSE;
    for (uint64_t left = span.length; ok && left > 0;) {
        const DWORD want = static_cast<DWORD>(left < kCopyBlock ? left : kCopyBlock);
        DWORD got = 0, put = 0;
        ok = ReadFile(from, block.data(), want, &got, nullptr) && got == want &&
             WriteFile(out.get(), block.data(), got, &put, nullptr) && put == got;
        left -= want;
    }
    if (!ok) {
        why = mv::Format(L"cannot copy the package to [%s] (%lu)", to.c_str(), GetLastError());
        out.reset();
        DeleteFileW(to.c_str());
    }
    return ok;
}

// Inflates the item whole (checking its CRC and size); with `keep`, into `bytes`, at most `max`.
bool ReadItem(ArchiveHandle archive, int index, std::string* keep, uint64_t max) {
    std::vector<char> buffer(kCopyBlock);
    uint64_t total = 0;
    for (;;) {
        unsigned written = 0;
        const unsigned code = ExtractItem(archive, index, buffer.data(), static_cast<unsigned>(buffer.size()), &written);
        if (code != ZR_OK && code != ZR_MORE) return false;
        total += written;
        if (keep) {
            if (total > max) return false;
            keep->append(buffer.data(), written);
        }
        if (code == ZR_OK) return true;
    }
}

std::mutex g_activeMutex;
AppendedPackage g_active;

}  // namespace

TrailerCheck ParsePackageTrailer(std::string_view tail, uint64_t fileSize, PackageSpan& span, std::wstring& why) {
    if (tail.size() < kPackageTrailerBytes || fileSize < kPackageTrailerBytes) return TrailerCheck::None;
    tail = tail.substr(tail.size() - kPackageTrailerBytes);
    const std::string_view marker = tail.substr(8);
    if (marker != kPackageMarker && marker != kPackageMarkerAlt) return TrailerCheck::None;
    const auto* p = reinterpret_cast<const unsigned char*>(tail.data());
    span.offset = ReadLe32(p);
    span.length = ReadLe32(p + 4);
    const uint64_t end = fileSize - kPackageTrailerBytes;  // the package ends where the trailer begins
    if (span.length == 0) {
        why = L"the trailer names an empty package";
        return TrailerCheck::Bad;
    }
    // Both are below 2^32, so the sum cannot wrap.
    if (span.offset + span.length > end) {
        why = mv::Format(L"the trailer names %llu bytes at %llu, beyond the %llu bytes before it",
                         static_cast<unsigned long long>(span.length), static_cast<unsigned long long>(span.offset),
                         static_cast<unsigned long long>(end));
        return TrailerCheck::Bad;
    }
    return TrailerCheck::Ok;
}

std::string MakePackageTrailer(uint32_t offset, uint32_t length) {
    std::string t(8, '\0');
    for (int i = 0; i < 4; ++i) {
        t[i] = static_cast<char>((offset >> (8 * i)) & 0xFF);
        t[4 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    }
    return t + kPackageMarker;
}

PackageFound OpenAppendedPackage(const std::wstring& exe, const std::wstring& tempDir, uint64_t maxListBytes,
                                 AppendedPackage& package, std::wstring& why) {
    package = AppendedPackage();
    // A running executable may be read while it runs.
    mv::Handle self(CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!self || !GetFileSizeEx(self.get(), &size) || size.QuadPart < static_cast<LONGLONG>(kPackageTrailerBytes))
        return PackageFound::None;
    char tail[kPackageTrailerBytes];
    const uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    if (!ReadAt(self.get(), fileSize - kPackageTrailerBytes, tail, sizeof(tail))) return PackageFound::None;
    PackageSpan span;
    switch (ParsePackageTrailer(std::string_view(tail, sizeof(tail)), fileSize, span, why)) {
        case TrailerCheck::None: return PackageFound::None;
        case TrailerCheck::Bad: return PackageFound::Damaged;
        case TrailerCheck::Ok: break;
    }

    mv::CreateDirTree(tempDir);
    std::wstring copy = mv::ReduceBackslashes(tempDir + L"\\__package4mirovane.tmp");
    std::wstring first;
    if (!CopySpan(self.get(), span, copy, first)) {
        // Another copy of this program may be holding that name.
        copy = mv::ReduceBackslashes(mv::Format(L"%s\\__package4mirovane.%lu.tmp", tempDir.c_str(), GetCurrentProcessId()));
        if (!CopySpan(self.get(), span, copy, why)) {
            why = first + L"; " + why;
            return PackageFound::Damaged;
        }
    }
    self.reset();

    ArchiveHandle archive = OpenArchive(copy, nullptr);
    if (!archive) {
        why = mv::Format(L"the package is not a readable zip (0x%X)", LastArchiveResult());
        DeleteFileW(copy.c_str());
        return PackageFound::Damaged;
    }
    AppendedPackage found;
    found.path = copy;
    const int count = ArchiveItemCount(archive);
    for (int i = 0; i < count && why.empty(); ++i) {
        ArchiveItem item;
        if (GetArchiveItem(archive, i, &item) != ZR_OK) {
            why = mv::Format(L"item %d of the package cannot be read", i);
            break;
        }
        if (item.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        const std::wstring name = mv::ToLower(mv::ReplaceAll(item.name, L"\\", L"/"));
        std::string* keep = nullptr;
        if (name == kPackageListName) keep = &found.list;
        if (name == std::wstring(kPackageListName) + L".sig") keep = &found.listSignature;
        if (name == kPackageMainListName) keep = &found.mainList;
        if (name == std::wstring(kPackageMainListName) + L".sig") keep = &found.mainListSignature;
        if (!ReadItem(archive, i, keep, maxListBytes))
            why = mv::Format(L"the package member [%s] is damaged (0x%X)", item.name.c_str(), LastArchiveResult());
    }
    CloseArchive(archive);
    if (why.empty() && found.list.empty()) why = std::wstring(L"the package holds no update list ") + kPackageListName;
    if (!why.empty()) {
        DeleteFileW(copy.c_str());
        return PackageFound::Damaged;
    }
    package = std::move(found);
    return PackageFound::Usable;
}

AppendedPackage ActivePackage() {
    std::lock_guard<std::mutex> hold(g_activeMutex);
    return g_active;
}

bool PackageActive() {
    std::lock_guard<std::mutex> hold(g_activeMutex);
    return !g_active.path.empty();
}

void SetActivePackage(AppendedPackage package) {
    std::lock_guard<std::mutex> hold(g_activeMutex);
    g_active = std::move(package);
}

void DropActivePackage() {
    std::lock_guard<std::mutex> hold(g_activeMutex);
    if (!g_active.path.empty()) DeleteFileW(g_active.path.c_str());
    g_active = AppendedPackage();
}

bool ExtractPackageFile(const std::wstring& package, const std::wstring& path, const std::wstring& target,
                        uint64_t maxBytes, std::wstring& why) {
    if (mv::FileExists(target) && !RemoveFile(target)) {
        why = mv::Format(L"[%s] cannot be replaced (%lu)", target.c_str(), GetLastError());
        return false;
    }
    ArchiveHandle archive = OpenArchive(package, nullptr);
    if (!archive) {
        why = L"the update package cannot be opened";
        return false;
    }
    ArchiveItem item;
    const int index = FindArchiveItem(archive, mv::ReplaceAll(path, L"\\", L"/"), true, &item);
    unsigned code = ZR_ARGS;
    if (index < 0)
        why = L"the update package does not hold it";
    else if (maxBytes != 0 && item.size > maxBytes)
        why = mv::Format(L"it would unpack to %llu bytes, more than the %llu the list names",
                         static_cast<unsigned long long>(item.size), static_cast<unsigned long long>(maxBytes));
    else
        code = ExtractItem(archive, index, target);
    CloseArchive(archive);
    if (index >= 0 && why.empty() && code != ZR_OK) why = mv::Format(L"it cannot be unpacked (0x%X)", code);
    if (!why.empty()) {
        RemoveFile(target);
        return false;
    }
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    return true;
}
