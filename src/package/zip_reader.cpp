#include "package/zip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "lang/language.h"
#include "notify/log.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

#include "unzip.h"
#include "iowin32.h"

namespace {

constexpr uint32_t kUnzipMagic = 0x557A6950;  // tells our handles from anything else
constexpr unsigned kBlock = 0x4000;
constexpr unsigned kMaxArchiveItems = 65535;
std::atomic<unsigned> g_lastResult{ZR_OK};

unsigned Result(unsigned code) {
    g_lastResult = code;
    return code;
}

bool StartsWithAt(const std::wstring& s, size_t pos, const wchar_t* what) { return s.compare(pos, wcslen(what), what) == 0; }

FILETIME UnixToFileTime(int32_t t) {
    ULARGE_INTEGER v;
    v.QuadPart = (static_cast<int64_t>(t) + 11644473600LL) * 10000000ULL;
    return FILETIME{v.LowPart, v.HighPart};
}

// A name flagged as UTF-8 (general-purpose bit 11) is UTF-8, broken sequences included.
// Without the flag many packers still write UTF-8; a name that is not valid UTF-8 comes from
// an old packer writing the DOS code page.
std::wstring DecodeName(const char* bytes, bool flaggedUtf8) {
    const int n = static_cast<int>(strlen(bytes));
    if (n == 0) return {};
    UINT cp = CP_UTF8;
    DWORD flags = flaggedUtf8 ? 0 : MB_ERR_INVALID_CHARS;
    int len = MultiByteToWideChar(cp, flags, bytes, n, nullptr, 0);
    if (len <= 0 && !flaggedUtf8) {
        cp = CP_OEMCP;
        flags = 0;
        len = MultiByteToWideChar(cp, flags, bytes, n, nullptr, 0);
    }
    std::wstring out(len > 0 ? len : 0, L'\0');
    if (len > 0) MultiByteToWideChar(cp, flags, bytes, n, out.data(), len);
    if (out.size() > MAX_PATH) out.resize(MAX_PATH);
    return out;
}

// The traditional zip cipher: three keys stirred by every plain byte.
class ZipCipher {
public:
    explicit ZipCipher(const std::string& password) : table_(get_crc_table()) {
        for (unsigned char c : password) Update(c);
    }
    void Decrypt(unsigned char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            const uint32_t t = (keys_[2] | 2) & 0xFFFF;
            p[i] = static_cast<unsigned char>(p[i] ^ ((t * (t ^ 1)) >> 8));
            Update(p[i]);
        }
    }

private:
    void Update(unsigned char c) {
        keys_[0] = static_cast<uint32_t>(table_[(keys_[0] ^ c) & 0xFF] ^ (keys_[0] >> 8));
        keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813 + 1;
        keys_[2] = static_cast<uint32_t>(table_[(keys_[2] ^ (keys_[1] >> 24)) & 0xFF] ^ (keys_[2] >> 8));
    }
    const z_crc_t* table_;
    uint32_t keys_[3] = {0x12345678, 0x23456789, 0x34567890};
};

}  // namespace

// One item being read: raw bytes from minizip, decrypted and inflated here, so that the
// password check, the size limit and the CRC are all ours.
class CZipItemStream {
public:
    CZipItemStream(unzFile uf, const unz_file_info64& info) : uf_(uf), info_(info) {}
    ~CZipItemStream() {
        if (inflating_) inflateEnd(&zs_);
        if (opened_) unzCloseCurrentFile(uf_);
    }

    unsigned Open(bool hasPassword, const std::string& password) {
        int method = 0, level = 0;
        const int r = unzOpenCurrentFile2(uf_, &method, &level, 1);
        if (r != UNZ_OK) return r == UNZ_ERRNO ? ZR_SEEK : ZR_CORRUPT;
        opened_ = true;
        encrypted_ = (info_.flag & 1) != 0;
        if (encrypted_) {
            if (!hasPassword || (info_.flag & 0x40)) return ZR_PASSWORD;
            cipher_ = std::make_unique<ZipCipher>(password);
            unsigned char header[12];
            if (unzReadCurrentFile(uf_, header, 12) != 12) return ZR_CORRUPT;
            cipher_->Decrypt(header, 12);
            // The last header byte repeats the top of the CRC (or of the time when the sizes
            // follow the data): a wrong password shows here before any output.
            const unsigned check = (info_.flag & 8) ? (info_.dosDate >> 8) & 0xFF : (info_.crc >> 24) & 0xFF;
            if (header[11] != check) return ZR_PASSWORD;
        }
        if (method == Z_DEFLATED) {
            if (inflateInit2(&zs_, -MAX_WBITS) != Z_OK) return ZR_CORRUPT;
            inflating_ = true;
        } else if (method != 0) {
            return ZR_CORRUPT;
        }
        return ZR_OK;
    }

    uint64_t Remaining() const { return info_.uncompressed_size - produced_; }

    // Up to n bytes, never past the declared size; *got 0 with more declared means the data ended early.
    unsigned Read(unsigned char* out, unsigned n, unsigned* got) {
        *got = 0;
        if (n > Remaining()) n = static_cast<unsigned>(Remaining());
        if (n == 0) return ZR_OK;
        if (!inflating_) {
            const int r = unzReadCurrentFile(uf_, out, n);
            if (r < 0) return Fail(r);
            if (cipher_) cipher_->Decrypt(out, r);
            *got = r;
        } else {
            zs_.next_out = out;
            zs_.avail_out = n;
            while (zs_.avail_out > 0 && !streamEnd_) {
                if (zs_.avail_in == 0 && !inputEnd_) {
                    const int r = unzReadCurrentFile(uf_, in_, sizeof(in_));
                    if (r < 0) return Fail(r);
                    if (r == 0) inputEnd_ = true;
                    if (cipher_) cipher_->Decrypt(in_, r);
                    zs_.next_in = in_;
                    zs_.avail_in = r;
                }
                const uInt before = zs_.avail_out;
                const int z = inflate(&zs_, Z_NO_FLUSH);
                if (z == Z_STREAM_END) streamEnd_ = true;
                else if (z == Z_BUF_ERROR && inputEnd_ && zs_.avail_out == before) break;  // truncated
                else if (z != Z_OK && z != Z_BUF_ERROR) return Bad();
            }
            *got = n - zs_.avail_out;
        }
        crc_ = crc32(crc_, out, *got);
        produced_ += *got;
        return ZR_OK;
    }

    // After the last byte: the whole declared size arrived and matches the stored CRC.
    unsigned Verify() const {
        if (Remaining() != 0 || crc_ != info_.crc) return Bad();
        return ZR_OK;
    }

private:
    unsigned Fail(int r) const { return r == UNZ_ERRNO ? ZR_SEEK : Bad(); }
    // Past a good check byte, garbage in an encrypted item still most likely means a wrong password.
    unsigned Bad() const { return encrypted_ ? ZR_PASSWORD : ZR_CORRUPT; }

    unzFile uf_;
    unz_file_info64 info_;
    bool opened_ = false, encrypted_ = false, inflating_ = false, streamEnd_ = false, inputEnd_ = false;
    std::unique_ptr<ZipCipher> cipher_;
    z_stream zs_{};
    uLong crc_ = 0;
    uint64_t produced_ = 0;
    unsigned char in_[kBlock];
};

class CZipArchive {
public:
    ~CZipArchive() {
        stream_.reset();
        if (uf_) unzClose(uf_);
        magic_ = 0;
    }
    bool Valid() const { return magic_ == kUnzipMagic; }

    unsigned Open(const std::wstring& path, const char* password) {
        if (uf_) return ZR_ALREADY;
        zlib_filefunc64_def io;
        fill_win32_filefunc64W(&io);
        uf_ = unzOpen2_64(path.c_str(), &io);
        if (!uf_) return ZR_SEEK;
        hasPassword_ = password != nullptr;
        password_ = password ? password : "";
        wchar_t cwd[MAX_PATH + 1] = {};
        GetCurrentDirectoryW(MAX_PATH + 1, cwd);
        root_ = cwd;
        if (root_.empty() || (root_.back() != L'\\' && root_.back() != L'/')) root_ += L'\\';

        // Every entry costs memory: an archive of a million tiny entries would exhaust a 32-bit
        // process, and nothing of ours comes near the cap.
        unz_global_info64 global{};
        if (unzGetGlobalInfo64(uf_, &global) != UNZ_OK) {
            unzClose(uf_);
            uf_ = nullptr;
            return ZR_CORRUPT;
        }
        if (global.number_entry > kMaxArchiveItems) {
            WriteLog(mv::Format(Translate(L"MAIN", L"Archive [%s] holds %llu items, more than %u: not read").c_str(), path.c_str(),
                                static_cast<unsigned long long>(global.number_entry), kMaxArchiveItems));
            unzClose(uf_);
            uf_ = nullptr;
            return ZR_CORRUPT;
        }
        int r = unzGoToFirstFile(uf_);
        while (r == UNZ_OK) {
            Entry e;
            char name[1024] = {};
            unsigned char extra[1024];
            if (unzGetCurrentFileInfo64(uf_, &e.info, name, sizeof(name) - 1, extra, sizeof(extra), nullptr, 0) != UNZ_OK ||
                unzGetFilePos64(uf_, &e.pos) != UNZ_OK)
                break;
            FillItem(e, name, extra, static_cast<size_t>(std::min<uLong>(e.info.size_file_extra, sizeof(extra))));
            entries_.push_back(std::move(e));
            // The declared count ends the walk (minizip's own check skips a count of 65535).
            r = entries_.size() >= global.number_entry ? UNZ_END_OF_LIST_OF_FILE : unzGoToNextFile(uf_);
        }
        if (r != UNZ_END_OF_LIST_OF_FILE) {
            unzClose(uf_);
            uf_ = nullptr;
            entries_.clear();
            return ZR_CORRUPT;
        }
        return ZR_OK;
    }

    int Count() const { return static_cast<int>(entries_.size()); }
    const ArchiveItem* Item(int index) const {
        return index >= 0 && index < Count() ? &entries_[index].item : nullptr;
    }

    int Find(const std::wstring& name, bool ignoreCase) const {
        auto norm = [ignoreCase](const std::wstring& s) {
            std::wstring t = mv::ReplaceAll(s, L"/", L"\\");
            return ignoreCase ? mv::ToLower(t) : t;
        };
        const std::wstring want = norm(name);
        for (int i = 0; i < Count(); ++i)
            if (norm(entries_[i].item.name) == want) return i;
        return -1;
    }

    unsigned ExtractToFile(int index, const std::wstring& outPath) {
        stream_.reset();
        const ArchiveItem* item = Item(index);
        if (!item || outPath.empty()) return ZR_ARGS;
        const bool absolute = outPath[0] == L'/' || outPath[0] == L'\\' || (outPath.size() > 1 && outPath[1] == L':');
        const std::wstring full = absolute ? outPath : root_ + SanitizeItemName(outPath);
        if (item->attributes & FILE_ATTRIBUTE_DIRECTORY) {
            mv::CreateDirTree(full);
            return ZR_OK;
        }
        const size_t slash = full.find_last_of(L"\\/");
        if (slash != std::wstring::npos && slash > 0) mv::CreateDirTree(full.substr(0, slash));

        unsigned code = StartItem(index);
        if (code != ZR_OK) return code;
        DWORD attrs = item->attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                          FILE_ATTRIBUTE_ARCHIVE);
        mv::Handle file(CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    attrs ? attrs : FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            stream_.reset();
            return ZR_NOFILE;
        }
        while (code == ZR_OK && stream_->Remaining() > 0) {
            unsigned got = 0;
            code = stream_->Read(buffer_, kBlock, &got);
            if (code == ZR_OK && got == 0) code = stream_->Verify();  // ended before its size
            DWORD written = 0;
            if (code == ZR_OK && (!WriteFile(file.get(), buffer_, got, &written, nullptr) || written != got))
                code = ZR_WRITE;
        }
        if (code == ZR_OK) code = stream_->Verify();
        stream_.reset();
        if (code != ZR_OK) {
            file.reset();
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(full.c_str());
            return code;
        }
        SetFileTime(file.get(), &item->creationTime, &item->lastAccessTime, &item->lastWriteTime);
        return ZR_OK;
    }

    unsigned ExtractToMemory(int index, unsigned char* buf, unsigned size, unsigned* written) {
        *written = 0;
        if (!Item(index) || !buf || size == 0) {
            stream_.reset();
            return ZR_ARGS;
        }
        if (!stream_ || current_ != index) {
            unsigned code = StartItem(index);
            if (code != ZR_OK) return code;
        }
        while (*written < size && stream_->Remaining() > 0) {
            unsigned got = 0;
            unsigned code = stream_->Read(buf + *written, size - *written, &got);
            if (code == ZR_OK && got == 0) code = stream_->Verify();
            if (code != ZR_OK) {
                stream_.reset();
                return code;
            }
            *written += got;
        }
        if (stream_->Remaining() > 0) return ZR_MORE;
        const unsigned code = stream_->Verify();
        stream_.reset();
        return code;
    }

private:
    struct Entry {
        unz_file_info64 info{};
        unz64_file_pos pos{};
        ArchiveItem item;
    };

    void FillItem(Entry& e, const char* name, const unsigned char* extra, size_t extraLen) {
        ArchiveItem& it = e.item;
        it.index = static_cast<int>(entries_.size());
        it.name = SanitizeItemName(DecodeName(name, (e.info.flag & 0x800) != 0));
        it.attributes = ItemAttributes(e.info.version, e.info.external_fa);
        it.size = e.info.uncompressed_size;
        it.compressedSize = e.info.compressed_size;
        it.encrypted = (e.info.flag & 1) != 0;
        FILETIME local{}, utc{};
        DosDateTimeToFileTime(HIWORD(e.info.dosDate), LOWORD(e.info.dosDate), &local);
        LocalFileTimeToFileTime(&local, &utc);
        it.creationTime = it.lastAccessTime = it.lastWriteTime = utc;
        ApplyExtendedTimestamp(extra, extraLen, it);
    }

    unsigned StartItem(int index) {
        stream_.reset();
        current_ = -1;
        if (unzGoToFilePos64(uf_, &entries_[index].pos) != UNZ_OK) return ZR_SEEK;
        auto s = std::make_unique<CZipItemStream>(uf_, entries_[index].info);
        const unsigned code = s->Open(hasPassword_, password_);
        if (code != ZR_OK) return code;
        stream_ = std::move(s);
        current_ = index;
        return ZR_OK;
    }

    uint32_t magic_ = kUnzipMagic;
    unzFile uf_ = nullptr;
    std::wstring root_;
    bool hasPassword_ = false;
    std::string password_;
    std::vector<Entry> entries_;
    int current_ = -1;
    std::unique_ptr<CZipItemStream> stream_;
    unsigned char buffer_[kBlock];
};

void ApplyExtendedTimestamp(const unsigned char* extra, size_t size, ArchiveItem& item) {
    // Fields are id, length and data; a length running past the end is cut to the end, and no
    // byte past `size` is ever read.
    for (size_t p = 0; p + 4 <= size;) {
        const unsigned id = extra[p] | (extra[p + 1] << 8), len = extra[p + 2] | (extra[p + 3] << 8);
        const unsigned char* d = extra + p + 4;
        const size_t have = std::min<size_t>(size - (p + 4), len);
        if (id == 0x5455 && have >= 1) {
            const unsigned flags = d[0];
            size_t q = 1;
            auto take = [&](FILETIME& ft) {
                if (q + 4 > have) return;
                int32_t t;
                std::memcpy(&t, d + q, 4);
                ft = UnixToFileTime(t);
                q += 4;
            };
            if (flags & 1) take(item.lastWriteTime);
            if (flags & 2) take(item.lastAccessTime);
            if (flags & 4) take(item.creationTime);
        }
        p += 4 + len;
    }
}

std::wstring SanitizeItemName(const std::wstring& name) {
    std::wstring s = name;
    for (bool changed = true; changed;) {
        changed = false;
        // A drive and leading slashes would make the name absolute.
        while (true) {
            if (s.size() >= 2 && s[1] == L':' && iswalpha(s[0])) s.erase(0, 2);
            else if (!s.empty() && (s[0] == L'\\' || s[0] == L'/')) s.erase(0, 1);
            else break;
            changed = true;
        }
        // Everything up to the last parent reference goes, so the rest stays inside.
        size_t cut = std::wstring::npos;
        for (const wchar_t* m : {L"\\..\\", L"\\../", L"/../", L"/..\\"}) {
            size_t at = s.rfind(m);
            if (at != std::wstring::npos && (cut == std::wstring::npos || at + 4 > cut)) cut = at + 4;
        }
        // A parent reference at the very start or end has no slash on one side.
        if (cut == std::wstring::npos && (StartsWithAt(s, 0, L"..\\") || StartsWithAt(s, 0, L"../"))) cut = 3;
        if (cut != std::wstring::npos) {
            s.erase(0, cut);
            changed = true;
            continue;
        }
        if (s == L"..") {
            s.clear();
            changed = true;
        } else if (s.size() >= 3 && s.compare(s.size() - 2, 2, L"..") == 0 &&
                   (s[s.size() - 3] == L'\\' || s[s.size() - 3] == L'/')) {
            s.resize(s.size() - 2);
            changed = true;
        }
    }
    return s;
}

DWORD ItemAttributes(unsigned versionMadeBy, unsigned long externalAttributes) {
    const unsigned host = (versionMadeBy >> 8) & 0xFF;
    if (host == 0 || host == 7 || host == 11 || host == 14)
        return externalAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE);
    const unsigned long mode = externalAttributes >> 16;
    DWORD attrs = FILE_ATTRIBUTE_ARCHIVE;
    if ((mode & 0170000) == 0040000) attrs |= FILE_ATTRIBUTE_DIRECTORY;
    if ((mode & 0200) == 0) attrs |= FILE_ATTRIBUTE_READONLY;
    return attrs;
}

namespace {
// The handles given out and not yet closed. A handle is checked against this set before it is
// used, so a pointer that is not one of ours is told apart without being read.
std::mutex g_handlesMutex;
std::set<ArchiveHandle>& LiveHandles() {
    static std::set<ArchiveHandle> handles;
    return handles;
}
}  // namespace

ArchiveHandle OpenArchive(const std::wstring& path, const char* password) {
    auto archive = std::make_unique<CZipArchive>();
    if (Result(archive->Open(path, password)) != ZR_OK) return nullptr;
    std::lock_guard<std::mutex> hold(g_handlesMutex);
    LiveHandles().insert(archive.get());
    return archive.release();
}

static unsigned CheckHandle(ArchiveHandle h) {
    if (!h) return ZR_ARGS;
    {
        std::lock_guard<std::mutex> hold(g_handlesMutex);
        if (!LiveHandles().count(h)) return ZR_NOTUNZIP;
    }
    return h->Valid() ? ZR_OK : ZR_NOTUNZIP;
}

unsigned OpenArchive(ArchiveHandle handle, const std::wstring& path, const char* password) {
    if (unsigned c = CheckHandle(handle)) return Result(c);
    return Result(handle->Open(path, password));
}

int ArchiveItemCount(ArchiveHandle handle) {
    if (Result(CheckHandle(handle)) != ZR_OK) return -1;
    return handle->Count();
}

unsigned GetArchiveItem(ArchiveHandle handle, int index, ArchiveItem* item) {
    if (unsigned c = CheckHandle(handle)) return Result(c);
    const ArchiveItem* found = handle->Item(index);
    if (!found) return Result(ZR_ARGS);
    if (item) *item = *found;
    return Result(ZR_OK);
}

int FindArchiveItem(ArchiveHandle handle, const std::wstring& name, bool ignoreCase, ArchiveItem* item) {
    if (Result(CheckHandle(handle)) != ZR_OK) return -1;
    const int index = handle->Find(name, ignoreCase);
    if (index >= 0 && item) *item = *handle->Item(index);
    return index;
}

unsigned ExtractItem(ArchiveHandle handle, int index, const std::wstring& outPath) {
    if (unsigned c = CheckHandle(handle)) return Result(c);
    return Result(handle->ExtractToFile(index, outPath));
}

unsigned ExtractItem(ArchiveHandle handle, int index, void* buffer, unsigned size, unsigned* written) {
    unsigned dummy = 0;
    if (!written) written = &dummy;
    *written = 0;
    if (unsigned c = CheckHandle(handle)) return Result(c);
    return Result(handle->ExtractToMemory(index, static_cast<unsigned char*>(buffer), size, written));
}

unsigned CloseArchive(ArchiveHandle handle) {
    if (unsigned c = CheckHandle(handle)) return Result(c);
    {
        std::lock_guard<std::mutex> hold(g_handlesMutex);
        LiveHandles().erase(handle);
    }
    delete handle;
    return Result(ZR_OK);
}

unsigned LastArchiveResult() { return g_lastResult.load(); }

bool ExtractFirstItem(const std::wstring& archive, const std::wstring& target, unsigned long long maxBytes,
                      std::wstring* why) {
    // A target that cannot be removed would pass an old file off as the unpacked one.
    if (mv::FileExists(target) && !RemoveFile(target)) return false;
    ArchiveHandle h = OpenArchive(archive, nullptr);
    if (!h) {
        RemoveFile(target);
        return false;
    }
    ArchiveItem first;
    const bool known = GetArchiveItem(h, 0, &first) == ZR_OK;
    const bool emptyItem = known && first.size == 0;
    if (known) {
        ULARGE_INTEGER freeBytes{};
        const std::wstring dir = mv::PathDir(target);
        const unsigned long long size = static_cast<unsigned long long>(first.size);
        std::wstring refusal;
        if (size > maxBytes)
            refusal = mv::Format(L"it would unpack to %llu bytes, more than the limit of %llu", size, maxBytes);
        else if (GetDiskFreeSpaceExW(dir.c_str(), &freeBytes, nullptr, nullptr) && size > freeBytes.QuadPart)
            refusal = mv::Format(L"it would unpack to %llu bytes, more than the %llu free on its volume", size,
                                 static_cast<unsigned long long>(freeBytes.QuadPart));
        if (!refusal.empty()) {
            CloseArchive(h);
            if (why) *why = refusal;
            return false;
        }
    }
    const unsigned code = ExtractItem(h, 0, target);
    CloseArchive(h);
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (code == ZR_OK) return true;

    // Some packers write an empty file as a 158-byte archive that does not unpack cleanly;
    // it still stands for the empty file, but only when the item really declares no data.
    WIN32_FILE_ATTRIBUTE_DATA fa{};
    if (emptyItem && GetFileAttributesExW(archive.c_str(), GetFileExInfoStandard, &fa) && fa.nFileSizeHigh == 0 &&
        fa.nFileSizeLow == 158) {
        if (!mv::FileExists(target)) mv::WriteFileBytes(target, std::string());
        return mv::FileExists(target);
    }
    // Unpacking stops at the declared size, so a bomb that understates it ends here too.
    if (why && code == ZR_CORRUPT) *why = L"its data is damaged or unpacks to more than it declares";
    RemoveFile(target);
    return false;
}
