// An update package appended to the executable: an offline release for machines without a
// network. After the program's own bytes come a zip of the release and a 20-byte trailer:
// the package's offset in the file and its length (32-bit little-endian each), then the
// marker "MirovaneZip1" or "MirovaneZip0" (single-byte text; both are read alike).
//
// The zip holds the update list as kPackageListName, its detached signature beside it with
// ".sig" added, optionally the main list as kPackageMainListName (and its ".sig"), and every
// file of the release under its list path ("/" separated).
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

constexpr size_t kPackageTrailerBytes = 20;
constexpr char kPackageMarker[] = "MirovaneZip1";
constexpr char kPackageMarkerAlt[] = "MirovaneZip0";
constexpr wchar_t kPackageListName[] = L"__list4mirovane.xml";
constexpr wchar_t kPackageMainListName[] = L"__mainlist4mirovane.xml";

// Where the package lies in the file.
struct PackageSpan {
    uint64_t offset = 0;
    uint64_t length = 0;
};

enum class TrailerCheck {
    None,  // no marker: the file carries no package
    Ok,    // `span` lies inside the file, before the trailer
    Bad,   // the marker is there but the span is empty or leaves the file (`why` says how)
};

// Pure: reads the trailer from `tail`, the last bytes of a file of `fileSize` bytes (at most
// kPackageTrailerBytes are looked at; fewer means no package).
TrailerCheck ParsePackageTrailer(std::string_view tail, uint64_t fileSize, PackageSpan& span, std::wstring& why);
// The trailer for a package of `length` bytes at `offset`.
std::string MakePackageTrailer(uint32_t offset, uint32_t length);

// A package start-up found, copied out and checked.
struct AppendedPackage {
    std::wstring path;  // the copy in the working directory; empty: no package in use
    std::string list, listSignature;          // the update list's bytes and its ".sig"
    std::string mainList, mainListSignature;  // empty when the package carries no main list
};

enum class PackageFound { None, Usable, Damaged };

// Looks for a package at the end of `exe` (only the trailer is read first); copies it in
// blocks into `tempDir` (twice tried), opens it as a zip, inflates every member once so that
// a damaged one (CRC, size, data) is found before anything is installed, and reads the lists
// into `package`. Damaged: `why` says what, and no copy is left behind. `maxListBytes` bounds
// each list.
PackageFound OpenAppendedPackage(const std::wstring& exe, const std::wstring& tempDir, uint64_t maxListBytes,
                                 AppendedPackage& package, std::wstring& why);

// The package this process takes its update from (path empty: none). Set once at start-up;
// any thread reads a copy.
AppendedPackage ActivePackage();
bool PackageActive();
void SetActivePackage(AppendedPackage package);
// Forgets the package and deletes its copy.
void DropActivePackage();

// Unpacks the member for the list path `path` ("\" or "/") of `package` to `target`. Refused
// before a byte is written when the member is missing or declares more than `maxBytes`
// (0: no bound). A failed member leaves no target; `why` says why.
bool ExtractPackageFile(const std::wstring& package, const std::wstring& path, const std::wstring& target,
                        uint64_t maxBytes, std::wstring& why);
