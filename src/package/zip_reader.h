// Zip archive reader over minizip (central directory) and zlib (inflate, CRC-32).
// Archives are read through the Win32 file functions, so paths are UTF-16. Results are the
// codes below; the most recent one is also kept process-wide (LastArchiveResult).
// A handle is used by one thread at a time.
#pragma once
#include <windows.h>

#include <cstdint>
#include <string>

enum : unsigned {
    ZR_OK = 0,
    ZR_NOFILE = 0x200,       // the output file could not be created
    ZR_WRITE = 0x400,        // writing the output file failed
    ZR_MORE = 0x600,         // memory output: the buffer is full, more data follows
    ZR_PASSWORD = 0x1000,    // the item needs a password, or the password is wrong
    ZR_ARGS = 0x10000,       // bad argument (null handle, item index out of range)
    ZR_NOTUNZIP = 0x80000,   // the handle is not an unzip handle
    ZR_ALREADY = 0x1000000,  // the handle is already open
    ZR_SEEK = 0x2000000,     // the archive file cannot be positioned
    ZR_CORRUPT = 0x5000000,  // the compressed data is corrupt
};

struct ArchiveItem {
    int index = -1;
    std::wstring name;  // relative: no drive, no leading slash, no ".." component
    DWORD attributes = 0;
    FILETIME creationTime{}, lastAccessTime{}, lastWriteTime{};  // UTC
    uint64_t size = 0;            // declared uncompressed size
    uint64_t compressedSize = 0;
    bool encrypted = false;
};

class CZipArchive;
using ArchiveHandle = CZipArchive*;

// Opens the archive (password: single-byte text, or null) and reads its central directory;
// relative output paths are taken from the current directory of this moment. Null on failure;
// an archive of more than 65535 items is refused (ZR_CORRUPT, with a log line).
ArchiveHandle OpenArchive(const std::wstring& path, const char* password);
// Opens an archive into a handle that already exists; ZR_ALREADY when it is open.
unsigned OpenArchive(ArchiveHandle handle, const std::wstring& path, const char* password);
// Number of items, or -1 for a bad handle.
int ArchiveItemCount(ArchiveHandle handle);
unsigned GetArchiveItem(ArchiveHandle handle, int index, ArchiveItem* item);
// Index of the item with this name ("/" and "\" alike), or -1; fills `item` when found.
int FindArchiveItem(ArchiveHandle handle, const std::wstring& name, bool ignoreCase, ArchiveItem* item);
// Unpacks an item to a file. A relative path is taken below the archive's root directory
// (with any ".." dropped); missing directories are made. A failed item leaves no file.
unsigned ExtractItem(ArchiveHandle handle, int index, const std::wstring& outPath);
// Unpacks an item into memory: ZR_MORE while the buffer was filled and more follows (call
// again with the same index for the next part), ZR_OK after the last part.
unsigned ExtractItem(ArchiveHandle handle, int index, void* buffer, unsigned size, unsigned* written);
// Closes and frees the handle; ZR_ARGS for a null handle.
unsigned CloseArchive(ArchiveHandle handle);
// Result of the most recent archive call in this process.
unsigned LastArchiveResult();

// Unpacks item 0 of `archive` to `target` (a downloaded "._.zip" to the file it carries).
// True when the target now holds the file. An item that declares more than `maxBytes`, or
// more than the target's volume has free, is refused before a byte is written (`why` says
// so); the reader never inflates past the size an item declares.
bool ExtractFirstItem(const std::wstring& archive, const std::wstring& target, unsigned long long maxBytes = ~0ull,
                      std::wstring* why = nullptr);

// The item name as the reader presents it: drive, leading slashes and everything up to the
// last ".." component dropped.
std::wstring SanitizeItemName(const std::wstring& name);
// Applies an extended-timestamp extra field ("UT") found in an entry's extra data of `size`
// bytes: the times it carries replace the item's. Reads nothing past `size`.
void ApplyExtendedTimestamp(const unsigned char* extra, size_t size, ArchiveItem& item);
// Attributes of an entry from its "version made by" and external attributes.
DWORD ItemAttributes(unsigned versionMadeBy, unsigned long externalAttributes);
