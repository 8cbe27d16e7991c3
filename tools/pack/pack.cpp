// mirovane-pack: writes what the updater reads from a release folder.
//
//   mirovane-pack [options] <release folder> <output folder>
//
// The output folder receives a copy of every file of the release, the zipped copy
// "<file>._.zip" of every file that zipping makes smaller, and the update list: one file
// element per file, ver = the file's SHA-256 in hexadecimal, paths relative with backslashes,
// size = its size in bytes and zip = 1 when a zipped copy was written, else 0.
//
//   --list NAME          name of the update list (default mirovane.xml)
//   --file-url PATTERN   the list's file address pattern (fileurl), e.g. {listurl-base}/files/{filename}
//   --main-list NAME     also write a main list of this name (with the description, if any)
//   --description TEXT   a description element for the list (the main list's, with --main-list)
//   --targets FILE       install targets: lines "path = target;target" (desname of that file)
//   --runs FILE          run entries: lines "path | parameters | wait"
//   --no-zip             write no zipped copies
//   --previous FOLDER    an older release folder, or an older output folder of this tool
//                        (repeatable): for each changed file, a binary patch from that
//                        version, "<file>.<first 16 digits of the old SHA-256>.zpatch",
//                        when it is at most half the zipped copy; the file element names it
//                        in a child <patch from="<old SHA-256>" path=... size=... sha256=.../>
//                        and then carries the file's sha256, which the updater checks the
//                        rebuilt file against
//   --key FILE           sign: sha256 on every file, the lists' sequence, expiry and guid, and
//                        "<list>.sig" and "<main list>.sig" beside the lists, each signed in
//                        its role (FILE made by --new-key)
//   --sequence N         the sequence of a signed list (default: one more than the list of
//                        that name already in the output folder, else 1)
//   --expires TIME       a signed list's expiry, UTC in ISO 8601 (e.g. 2030-01-31T00:00:00Z);
//                        default one year from now, "none" for no expiry
//   --guid TEXT          the list's guid (the product's [UPDATEINFO] ListGuid)
//
//   --dry-run            write nothing: show what would change against the list already in
//                        the output folder
//   --bundle UPDATER OUT  also write OUT: a copy of UPDATER (mirovane.exe, settings embedded or
//                        not) carrying the packed release as an offline update package: a zip
//                        of the list (with its signature), the main list and the files, then
//                        a trailer naming where the zip lies
//
//   mirovane-pack --new-key NAME
//       creates a signing key: NAME.key (private: keep it, never ship it; readable by its
//       owner only) and prints the ListKey= line for the updater's settings.
//   mirovane-pack --verify <output folder> [--key FILE | --list-key TEXT] [--list NAME] [--main-list NAME]
//       checks a published folder before upload: every list's signature against the public
//       key, every listed file (and zipped copy and patch) against its sha256.
//   mirovane-pack --help
//
// Lines of the two text files are UTF-8; empty lines and lines starting with # are skipped.
// Exit code 0 when everything was written (or verified), 1 on an error (one line on stderr)
// or a failed verification, 2 on a usage error. The release folder is never written to.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "patch_maker.h"
#include "unzip.h"
#include "zip.h"
// after zip.h, which brings the file-function types it uses
#include "iowin32.h"
#include "package/package.h"
#include "util/com.h"
#include "util/crypto.h"
#include "util/handle.h"
#include "util/text.h"
#include "util/utc_time.h"
#include "util/xml_doc.h"

namespace {

struct Options {
    std::wstring release, output;
    std::wstring listName = L"mirovane.xml";
    std::wstring fileUrl;
    std::wstring mainList;
    std::wstring description;
    std::wstring targetsFile;
    std::wstring runsFile;
    bool zip = true;
    std::vector<std::wstring> previous;
    std::wstring keyFile;
    std::wstring sequence;
    std::wstring expires;
    std::wstring guid;
    bool dryRun = false;
    std::wstring bundleUpdater, bundleOut;  // --bundle
    std::wstring verifyFolder;
    std::wstring listKey;  // --verify: the public key as the ListKey setting holds it
};

// One switch: its name and what it does with its value (a switch without value gets none).
struct Switch {
    const wchar_t* name;
    bool takesValue;
    std::function<void(Options&, const std::wstring&)> apply;
};

const std::vector<Switch>& Switches() {
    static const std::vector<Switch> table = {
        {L"--list", true, [](Options& o, const std::wstring& v) { o.listName = v; }},
        {L"--file-url", true, [](Options& o, const std::wstring& v) { o.fileUrl = v; }},
        {L"--main-list", true, [](Options& o, const std::wstring& v) { o.mainList = v; }},
        {L"--description", true, [](Options& o, const std::wstring& v) { o.description = v; }},
        {L"--targets", true, [](Options& o, const std::wstring& v) { o.targetsFile = v; }},
        {L"--runs", true, [](Options& o, const std::wstring& v) { o.runsFile = v; }},
        {L"--no-zip", false, [](Options& o, const std::wstring&) { o.zip = false; }},
        {L"--previous", true, [](Options& o, const std::wstring& v) { o.previous.push_back(v); }},
        {L"--key", true, [](Options& o, const std::wstring& v) { o.keyFile = v; }},
        {L"--sequence", true, [](Options& o, const std::wstring& v) { o.sequence = v; }},
        {L"--expires", true, [](Options& o, const std::wstring& v) { o.expires = v; }},
        {L"--guid", true, [](Options& o, const std::wstring& v) { o.guid = v; }},
        {L"--dry-run", false, [](Options& o, const std::wstring&) { o.dryRun = true; }},
        {L"--verify", true, [](Options& o, const std::wstring& v) { o.verifyFolder = v; }},
        {L"--list-key", true, [](Options& o, const std::wstring& v) { o.listKey = v; }},
    };
    return table;
}

const wchar_t kUsage[] =
    L"usage: mirovane-pack [options] <release folder> <output folder>\n"
    L"       mirovane-pack --new-key NAME\n"
    L"       mirovane-pack --verify <output folder> [--key FILE | --list-key TEXT] [--list NAME] [--main-list NAME]\n"
    L"       mirovane-pack --help\n"
    L"\n"
    L"Writes into the output folder a copy of every release file, its zipped copy <file>._.zip\n"
    L"when that is smaller, and the update list (one file element per file, ver = SHA-256).\n"
    L"Upload the output folder as it is; point [UPDATEINFO] ListURL at the list.\n"
    L"\n"
    L"  --list NAME          name of the update list (default mirovane.xml)\n"
    L"  --main-list NAME     also write a main list (for [UPDATEINFO] MainListURL)\n"
    L"  --description TEXT   a description element (in the main list when one is written)\n"
    L"  --file-url PATTERN   the list's fileurl, e.g. {listurl-base}/files/{filename}\n"
    L"  --targets FILE       lines \"path = target;target\": that file's install targets\n"
    L"  --runs FILE          lines \"path | parameters | wait\": tasks after the update\n"
    L"  --no-zip             no zipped copies\n"
    L"  --previous FOLDER    an older release or output folder (repeatable): binary patches from it\n"
    L"                       for the changed files, <file>.<old hash>.zpatch, when clearly smaller\n"
    L"  --key FILE           sign with the key made by --new-key (sha256 per file, sequence, .sig files)\n"
    L"  --sequence N         the signed list's sequence (default: one more than the list in the output folder)\n"
    L"  --expires TIME       the signed lists' expiry, UTC, e.g. 2031-01-01T00:00:00Z\n"
    L"                       (default: one year from now; none: no expiry)\n"
    L"  --guid TEXT          the list's guid ([UPDATEINFO] ListGuid)\n"
    L"  --dry-run            write nothing; show what would change against the list in the output folder\n"
    L"  --bundle UPDATER OUT also write OUT, a copy of UPDATER carrying this release as an offline\n"
    L"                       update package (the list, its signature and the files, zipped)\n"
    L"\n"
    L"  --new-key NAME       make a signing key: NAME.key (private, owner-only) and the ListKey= line\n"
    L"  --verify FOLDER      check a packed folder before upload: signatures against the public key\n"
    L"                       (--key or --list-key), every listed file and zipped copy against its hash\n"
    L"\n"
    L"Exit code: 0 done, 1 error or verification failed (reason on stderr), 2 usage error.\n";

void Usage(FILE* to) {
    if (to == stdout) {
        fwprintf(to, L"%ls", kUsage);
        return;
    }
    // After a usage error, the forms only.
    const std::wstring text = kUsage;
    fwprintf(to, L"%ls(mirovane-pack --help says more)\n", text.substr(0, text.find(L"\n\n") + 1).c_str());
}

// Parses argv into `o`; false (after a message) on a usage error.
bool ParseArguments(int argc, wchar_t** argv, Options& o) {
    std::vector<std::wstring> positional;
    for (int i = 1; i < argc; ++i) {
        const std::wstring a = argv[i];
        if (a == L"--bundle") {
            if (i + 2 >= argc) {
                fwprintf(stderr, L"mirovane-pack: --bundle needs the updater and the output executable\n");
                return false;
            }
            o.bundleUpdater = argv[++i];
            o.bundleOut = argv[++i];
            continue;
        }
        if (a.size() > 2 && a.compare(0, 2, L"--") == 0) {
            const Switch* found = nullptr;
            for (const Switch& s : Switches())
                if (a == s.name) found = &s;
            if (!found) {
                fwprintf(stderr, L"mirovane-pack: unknown switch %ls\n", a.c_str());
                return false;
            }
            std::wstring value;
            if (found->takesValue) {
                if (i + 1 >= argc) {
                    fwprintf(stderr, L"mirovane-pack: %ls needs a value\n", a.c_str());
                    return false;
                }
                value = argv[++i];
            }
            found->apply(o, value);
        } else {
            positional.push_back(a);
        }
    }
    if (!o.verifyFolder.empty()) {
        if (!positional.empty()) {
            fwprintf(stderr, L"mirovane-pack: --verify takes the output folder only\n");
            return false;
        }
        return true;
    }
    if (!o.listKey.empty()) {
        fwprintf(stderr, L"mirovane-pack: --list-key belongs to --verify (packing signs with --key)\n");
        return false;
    }
    if (positional.size() != 2) {
        fwprintf(stderr, L"mirovane-pack: expected a release folder and an output folder\n");
        return false;
    }
    o.release = positional[0];
    o.output = positional[1];
    return true;
}

std::string Utf8(const std::wstring& s) {
    if (s.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

std::wstring Trim(const std::wstring& s) {
    const size_t a = s.find_first_not_of(L" \t\r\n");
    if (a == std::wstring::npos) return {};
    return s.substr(a, s.find_last_not_of(L" \t\r\n") - a + 1);
}

std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(towlower(c));
    return s;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t buf[32768];
    DWORD n = GetFullPathNameW(path.c_str(), 32768, buf, nullptr);
    std::wstring full = n && n < 32768 ? std::wstring(buf, n) : path;
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

// True when `inner` is `outer` or lies below it.
bool Within(const std::wstring& inner, const std::wstring& outer) {
    const std::wstring a = Lower(inner), b = Lower(outer);
    if (a == b) return true;
    return a.size() > b.size() && a.compare(0, b.size(), b) == 0 && (a[b.size()] == L'\\' || b.back() == L'\\');
}

bool ReadAll(const std::wstring& path, std::string& out) {
    mv::Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!f) return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(f.get(), &size) && size.QuadPart < 0x7FFFFFFF;
    if (ok) {
        out.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = out.empty() || (ReadFile(f.get(), out.data(), static_cast<DWORD>(out.size()), &got, nullptr) && got == out.size());
    }
    return ok;
}

bool WriteAll(const std::wstring& path, const std::string& bytes) {
    mv::Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) return false;
    DWORD put = 0;
    return bytes.empty() ||
           (WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size());
}

void MakeDirs(const std::wstring& dir) {
    for (size_t i = 3; i <= dir.size(); ++i)
        if (i == dir.size() || dir[i] == L'\\') CreateDirectoryW(dir.substr(0, i).c_str(), nullptr);
}

std::wstring Sha256Hex(const std::string& bytes) {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    std::wstring hex;
    if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(prov, CALG_SHA_256, 0, 0, &hash)) {
            BYTE digest[32];
            DWORD len = sizeof(digest);
            if (CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
                CryptGetHashParam(hash, HP_HASHVAL, digest, &len, 0)) {
                wchar_t two[3];
                for (DWORD i = 0; i < len; ++i) {
                    swprintf(two, 3, L"%02x", digest[i]);
                    hex += two;
                }
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(prov, 0);
    }
    return hex;
}

// Files of the release, relative paths with backslashes, sorted.
void ListFiles(const std::wstring& root, const std::wstring& rel, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW fd;
    mv::FindHandle h(FindFirstFileW((root + L"\\" + (rel.empty() ? L"" : rel + L"\\") + L"*").c_str(), &fd));
    if (!h) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring child = rel.empty() ? name : rel + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;  // links are not part of a release
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListFiles(root, child, out);
        else
            out.push_back(child);
    } while (FindNextFileW(h.get(), &fd));
}

std::string XmlEscape(const std::wstring& s) {
    std::string out;
    for (char c : Utf8(s)) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

// Lines of a small UTF-8 text file, trimmed, without empty lines and comments.
bool ReadLines(const std::wstring& path, std::vector<std::wstring>& lines) {
    std::string bytes;
    if (!ReadAll(path, bytes)) return false;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) bytes.erase(0, 3);
    size_t start = 0;
    while (start <= bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        const std::wstring line = Trim(FromUtf8(bytes.substr(start, end - start)));
        if (!line.empty() && line[0] != L'#') lines.push_back(line);
        start = end + 1;
    }
    return true;
}

std::vector<std::wstring> SplitTrim(const std::wstring& s, wchar_t sep) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t cut = s.find(sep, start);
        parts.push_back(Trim(s.substr(start, cut == std::wstring::npos ? std::wstring::npos : cut - start)));
        if (cut == std::wstring::npos) return parts;
        start = cut + 1;
    }
}

std::wstring Backslashes(std::wstring s) {
    for (wchar_t& c : s)
        if (c == L'/') c = L'\\';
    return s;
}

// Writes the entries (name, bytes) as a new zip archive; false on any failure.
bool WriteZipEntries(const std::wstring& zipPath, const std::vector<std::pair<std::wstring, std::string>>& entries) {
    zlib_filefunc64_def io;
    fill_win32_filefunc64W(&io);
    zipFile z = zipOpen2_64(zipPath.c_str(), APPEND_STATUS_CREATE, nullptr, &io);
    if (!z) return false;
    zip_fileinfo info{};
    SYSTEMTIME t;
    GetLocalTime(&t);
    info.tmz_date.tm_sec = t.wSecond;
    info.tmz_date.tm_min = t.wMinute;
    info.tmz_date.tm_hour = t.wHour;
    info.tmz_date.tm_mday = t.wDay;
    info.tmz_date.tm_mon = t.wMonth - 1;
    info.tmz_date.tm_year = t.wYear;
    bool ok = true;
    for (const auto& [name, data] : entries) {
        const std::string entry = Utf8(name);
        ok = ok && zipOpenNewFileInZip4_64(z, entry.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 9, 0,
                                           -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0, 1 << 11,
                                           data.size() >= 0xFFFFFFFFu) == ZIP_OK;
        if (ok) ok = zipWriteInFileInZip(z, data.data(), static_cast<unsigned>(data.size())) == ZIP_OK;
        if (ok) ok = zipCloseFileInZip(z) == ZIP_OK;
    }
    if (zipClose(z, nullptr) != ZIP_OK) ok = false;
    return ok;
}

bool WriteZip(const std::wstring& zipPath, const std::wstring& name, const std::string& data) {
    return WriteZipEntries(zipPath, {{name, data}});
}

int Fail(const std::wstring& text) {
    fwprintf(stderr, L"mirovane-pack: %ls\n", text.c_str());
    return 1;
}

void Wrote(const std::wstring& path, size_t bytes) { wprintf(L"wrote %ls (%lu bytes)\n", path.c_str(), static_cast<unsigned long>(bytes)); }

const char kKeyWarning[] =
    "# Mirovane list signing key (private). Anyone who has this file can make your users'\r\n"
    "# updaters install anything. Keep it offline and backed up; never ship or upload it.\r\n";

// The SID of the user this process runs as, as text ("S-1-5-21-..."); empty on failure.
std::wstring CurrentUserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    mv::Handle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size ? size : 1);
    if (!GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
    std::wstring sid = text;
    LocalFree(text);
    return sid;
}

// Creates a new file (never over an existing one) whose access list grants the current user
// alone full control and inherits nothing from its folder, and writes `bytes` to it.
bool WriteOwnerOnly(const std::wstring& path, const std::string& bytes, std::wstring& error) {
    const std::wstring sid = CurrentUserSid();
    if (sid.empty()) {
        error = mv::Format(L"cannot read the current user (error %lu)", GetLastError());
        return false;
    }
    PSECURITY_DESCRIPTOR sd = nullptr;
    // Read, write, delete and the right to change the access list again; no execute.
    const std::wstring sddl = L"O:" + sid + L"D:P(A;;FRFWSDRCWDWO;;;" + sid + L")";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
        error = mv::Format(L"ConvertStringSecurityDescriptorToSecurityDescriptor failed (%lu)", GetLastError());
        return false;
    }
    SECURITY_ATTRIBUTES sa{sizeof(sa), sd, FALSE};
    mv::Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD code = GetLastError();
    LocalFree(sd);
    if (!f) {
        error = mv::Format(L"cannot create %s (error %lu)", path.c_str(), code);
        return false;
    }
    DWORD put = 0;
    if (!WriteFile(f.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) || put != bytes.size()) {
        error = mv::Format(L"cannot write %s (error %lu)", path.c_str(), GetLastError());
        f.reset();
        DeleteFileW(path.c_str());
        return false;
    }
    return true;
}

// What the file's access list says, read back: "owner only" when its one entry is the
// current user's, else a description of what was found.
std::wstring DescribeAccess(const std::wstring& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const DWORD r = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                          &dacl, nullptr, &sd);
    if (r != ERROR_SUCCESS) return mv::Format(L"unknown (GetNamedSecurityInfo failed: %lu)", r);
    std::wstring what;
    if (!dacl) {
        what = L"no access list: open to everyone";
    } else {
        const std::wstring me = CurrentUserSid();
        bool onlyMe = dacl->AceCount == 1;
        std::wstring entries;
        for (WORD i = 0; i < dacl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace)) continue;
            const auto* header = static_cast<ACE_HEADER*>(ace);
            wchar_t* text = nullptr;
            std::wstring sid;
            if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
                if (ConvertSidToStringSidW(&static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart, &text)) sid = text;
                if (text) LocalFree(text);
            }
            const bool allowed = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
            if (!allowed || sid != me) onlyMe = false;
            entries += mv::Format(L"%s%s %s 0x%lx", entries.empty() ? L"" : L", ", allowed ? L"allow" : L"other",
                                  sid.c_str(), static_cast<unsigned long>(static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask));
        }
        what = onlyMe ? L"owner only" : L"not owner only: " + entries;
    }
    LocalFree(sd);
    return what;
}

// Wine keeps no Windows access list for a file on a Unix file system: it maps the list to the
// file's mode bits, owner and group alike, and reads back a list made from those bits.
bool RunningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

int NewKey(const std::wstring& name) {
    const std::wstring path = name + L".key";
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return Fail(path + L" exists already; it is not replaced");
    std::string privateText, publicText;
    std::wstring error;
    if (!mv::CreateListKey(privateText, publicText, error)) return Fail(error);
    std::string content = kKeyWarning + privateText + "\r\n";
    const bool ok = WriteOwnerOnly(path, content, error);
    SecureZeroMemory(privateText.data(), privateText.size());
    SecureZeroMemory(content.data(), content.size());
    if (!ok) return Fail(error);
    if (RunningUnderWine()) {
        // What Wine reads back is made from the mode bits, not the list written: not worth showing.
        wprintf(L"private key written to %ls: keep it, never ship it\n", path.c_str());
        fwprintf(stderr, L"mirovane-pack: under Wine the access list becomes Unix mode bits for owner and group: "
                         L"run \"chmod 600\" on %ls\n", path.c_str());
    } else {
        const std::wstring access = DescribeAccess(path);
        wprintf(L"private key written to %ls (access: %ls): keep it, never ship it\n", path.c_str(), access.c_str());
        if (access != L"owner only")
            fwprintf(stderr, L"mirovane-pack: warning: %ls is not readable by its owner only (%ls); restrict it yourself\n",
                     path.c_str(), access.c_str());
    }
    wprintf(L"ListKey=%ls\n", FromUtf8(publicText).c_str());
    return 0;
}

// The private key of a key file: its lines without comments.
bool ReadKey(const std::wstring& path, std::string& key) {
    std::vector<std::wstring> lines;
    if (!ReadLines(path, lines)) return false;
    key.clear();
    for (const std::wstring& line : lines) key += Utf8(line);
    std::string publicText;
    return mv::PublicKeyOf(key, publicText);
}

// A positive decimal number of at most 18 digits.
bool ParseSequence(const std::wstring& text, long long& value) {
    const std::wstring t = Trim(text);
    if (t.empty() || t.size() > 18 || t.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    value = _wtoi64(t.c_str());
    return value > 0;
}

// The sequence of the list already at `path`, or 0.
long long PreviousSequence(const std::wstring& path) {
    std::string bytes;
    if (!ReadAll(path, bytes)) return 0;
    const size_t open = bytes.find("<sequence>");
    const size_t close = open == std::string::npos ? open : bytes.find("</sequence>", open);
    long long value = 0;
    if (close == std::string::npos || !ParseSequence(FromUtf8(bytes.substr(open + 10, close - open - 10)), value)) return 0;
    return value;
}

bool WriteSignature(const std::string& key, const std::wstring& path, mv::ListRole role, const std::string& bytes) {
    std::string signature;
    std::wstring error;
    if (!mv::SignListBytes(key, mv::SignedListMessage(role, bytes), signature, error)) {
        Fail(error);
        return false;
    }
    const std::wstring sigPath = path + L".sig";
    if (!WriteAll(sigPath, signature + "\r\n")) {
        Fail(L"cannot write " + sigPath);
        return false;
    }
    Wrote(sigPath, signature.size() + 2);
    return true;
}

// --- reading a list this tool wrote (the one in the output folder, or one to verify)

struct ListedFile {
    std::wstring path, ver, sha256;
    std::vector<std::pair<std::wstring, std::wstring>> patches;  // path and sha256 of each patch
};
struct ListedList {
    std::vector<ListedFile> files;
    std::wstring sequence, expires, guid;
};

std::wstring ChildText(IXMLDOMDocument* doc, const wchar_t* query) {
    mv::ComPtr<IXMLDOMNode> node;
    mv::Bstr q(query);
    if (doc->selectSingleNode(q.get(), node.put()) != S_OK || !node) return {};
    return Trim(mv::NodeText(node.get()));
}

// Reads the file elements and root values of a list; false (with `error`) when the file is
// missing or not an update list.
bool ReadList(const std::wstring& path, ListedList& out, std::wstring& error) {
    mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
    if (!doc) {
        error = L"cannot create an XML document";
        return false;
    }
    if (mv::LoadXmlFile(doc.get(), path, &error) != mv::XmlLoad::Ok) {
        if (error.empty()) error = L"not readable XML";
        return false;
    }
    mv::ComPtr<IXMLDOMNode> root;
    mv::Bstr rootQuery(L"/update");
    if (doc->selectSingleNode(rootQuery.get(), root.put()) != S_OK || !root) {
        error = L"no update element";
        return false;
    }
    out.sequence = ChildText(doc.get(), L"/update/sequence");
    out.expires = ChildText(doc.get(), L"/update/expires");
    out.guid = ChildText(doc.get(), L"/update/guid");
    mv::ComPtr<IXMLDOMNodeList> nodes;
    mv::Bstr fileQuery(L"/update/file");
    if (doc->selectNodes(fileQuery.get(), nodes.put()) != S_OK || !nodes) return true;
    for (;;) {
        mv::ComPtr<IXMLDOMNode> node;
        if (nodes->nextNode(node.put()) != S_OK || !node) break;
        mv::ComPtr<IXMLDOMElement> element;
        if (FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.put())))) continue;
        out.files.push_back({Backslashes(Trim(mv::ElementAttribute(element.get(), L"path"))),
                             Lower(Trim(mv::ElementAttribute(element.get(), L"ver"))),
                             Lower(Trim(mv::ElementAttribute(element.get(), L"sha256"))), {}});
        mv::ComPtr<IXMLDOMNodeList> patchNodes;
        mv::Bstr patchQuery(L"patch");
        if (node->selectNodes(patchQuery.get(), patchNodes.put()) != S_OK || !patchNodes) continue;
        for (;;) {
            mv::ComPtr<IXMLDOMNode> patchNode;
            if (patchNodes->nextNode(patchNode.put()) != S_OK || !patchNode) break;
            mv::ComPtr<IXMLDOMElement> patch;
            if (FAILED(patchNode->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(patch.put())))) continue;
            out.files.back().patches.emplace_back(Backslashes(Trim(mv::ElementAttribute(patch.get(), L"path"))),
                                                  Lower(Trim(mv::ElementAttribute(patch.get(), L"sha256"))));
        }
    }
    return true;
}

// --- what a pack changes against the list already in the output folder

struct Change {
    std::vector<std::wstring> added, changed, removed;
    size_t unchanged = 0;
};

Change CompareWithPrevious(const std::vector<std::pair<std::wstring, std::wstring>>& now, const ListedList& before) {
    Change c;
    std::map<std::wstring, std::wstring> old;
    for (const ListedFile& f : before.files) old[Lower(f.path)] = f.ver;
    for (const auto& [rel, hash] : now) {
        auto it = old.find(Lower(rel));
        if (it == old.end())
            c.added.push_back(rel);
        else if (it->second != hash)
            c.changed.push_back(rel);
        else
            ++c.unchanged;
        if (it != old.end()) old.erase(it);
    }
    for (const ListedFile& f : before.files)
        if (old.count(Lower(f.path))) c.removed.push_back(f.path);
    return c;
}

void PrintChange(const std::wstring& listPath, bool hadList, const ListedList& before, const Change& c) {
    if (!hadList) {
        wprintf(L"no list at %ls yet: all %lu files are new\n", listPath.c_str(), static_cast<unsigned long>(c.added.size()));
        return;
    }
    wprintf(L"against the list at %ls%ls:\n", listPath.c_str(),
            before.sequence.empty() ? L"" : (L" (sequence " + before.sequence + L")").c_str());
    for (const std::wstring& f : c.added) wprintf(L"  added     %ls\n", f.c_str());
    for (const std::wstring& f : c.changed) wprintf(L"  changed   %ls\n", f.c_str());
    for (const std::wstring& f : c.removed)
        wprintf(L"  dropped   %ls (no longer listed; installed copies stay on users' machines)\n", f.c_str());
    wprintf(L"  %lu added, %lu changed, %lu dropped, %lu unchanged\n", static_cast<unsigned long>(c.added.size()),
            static_cast<unsigned long>(c.changed.size()), static_cast<unsigned long>(c.removed.size()),
            static_cast<unsigned long>(c.unchanged));
}

// --- verifying a packed folder

// The bytes of the single entry of a zipped copy.
bool ReadZipEntry(const std::wstring& zipPath, std::string& data) {
    zlib_filefunc64_def io;
    fill_win32_filefunc64W(&io);
    unzFile z = unzOpen2_64(zipPath.c_str(), &io);
    if (!z) return false;
    bool ok = unzGoToFirstFile(z) == UNZ_OK && unzOpenCurrentFile(z) == UNZ_OK;
    if (ok) {
        data.clear();
        char buf[65536];
        int got = 0;
        while ((got = unzReadCurrentFile(z, buf, sizeof(buf))) > 0) data.append(buf, static_cast<size_t>(got));
        ok = got == 0;
        if (unzCloseCurrentFile(z) != UNZ_OK) ok = false;
    }
    unzClose(z);
    return ok;
}

bool IsHexHash(const std::wstring& s) { return s.size() == 64 && s.find_first_not_of(L"0123456789abcdef") == std::wstring::npos; }

// Checks one list of the folder: its signature (with a key), then every listed file and its
// zipped copy. Prints one line per problem; returns the number of problems.
int VerifyList(const std::wstring& folder, const std::wstring& name, bool isUpdateList, const std::string& publicKey,
               size_t& filesOk) {
    const mv::ListRole role = isUpdateList ? mv::ListRole::Update : mv::ListRole::Main;
    int problems = 0;
    auto problem = [&](const std::wstring& text) {
        fwprintf(stderr, L"mirovane-pack: %ls: %ls\n", name.c_str(), text.c_str());
        ++problems;
    };
    const std::wstring listPath = folder + L"\\" + name;
    std::string bytes;
    if (!ReadAll(listPath, bytes)) {
        problem(L"missing");
        return problems;
    }
    if (!publicKey.empty()) {
        std::string signature;
        std::wstring error;
        if (!ReadAll(listPath + L".sig", signature)) {
            problem(L"no signature beside it (" + name + L".sig)");
        } else {
            while (!signature.empty() && (signature.back() == '\n' || signature.back() == '\r')) signature.pop_back();
            switch (mv::VerifyListSignature(publicKey, mv::SignedListMessage(role, bytes), signature, error)) {
                case mv::SignatureCheck::Ok: wprintf(L"%ls: signature verified as the %ls\n", name.c_str(), mv::ListRoleName(role)); break;
                case mv::SignatureCheck::Wrong:
                    problem(std::wstring(L"its signature does not match as the ") + mv::ListRoleName(role) +
                            L" (signed with another key, in another role, or changed after signing)");
                    break;
                case mv::SignatureCheck::Malformed: problem(L"its signature file is malformed"); break;
                case mv::SignatureCheck::BadKey: problem(L"the public key is not usable"); break;
                case mv::SignatureCheck::CryptoError: problem(L"cannot check the signature: " + error); break;
            }
        }
    }
    ListedList list;
    std::wstring error;
    if (!ReadList(listPath, list, error)) {
        problem(L"not an update list: " + error);
        return problems;
    }
    // Both lists carry the sequence a signed updater checks.
    if (!publicKey.empty() && list.sequence.empty()) problem(L"no sequence element: a signed updater refuses it");
    for (const ListedFile& f : list.files) {
        bool outside = f.path.empty() || f.path.find(L':') != std::wstring::npos || f.path[0] == L'\\';
        for (const std::wstring& part : SplitTrim(f.path, L'\\')) outside = outside || part == L".." || part.empty();
        if (outside) {
            problem(L"file path [" + f.path + L"] leaves the folder");
            continue;
        }
        const std::wstring expected = !f.sha256.empty() ? f.sha256 : (IsHexHash(f.ver) ? f.ver : std::wstring());
        if (!publicKey.empty() && f.sha256.empty()) {
            problem(L"[" + f.path + L"] has no sha256: a signed updater leaves it out");
            continue;
        }
        if (expected.empty()) {
            wprintf(L"%ls: [%ls] has no hash to check against (ver=\"%ls\")\n", name.c_str(), f.path.c_str(), f.ver.c_str());
            continue;
        }
        std::string data;
        if (!ReadAll(folder + L"\\" + f.path, data)) {
            problem(L"[" + f.path + L"] is missing from the folder");
            continue;
        }
        if (Sha256Hex(data) != expected) {
            problem(L"[" + f.path + L"] does not match its hash");
            continue;
        }
        bool patchesOk = true;
        for (const auto& [patchPath, patchHash] : f.patches) {
            std::string patch;
            if (patchPath.empty() || !ReadAll(folder + L"\\" + patchPath, patch) || Sha256Hex(patch) != patchHash) {
                problem(L"[" + f.path + L"]: its patch [" + patchPath + L"] is missing or does not match its hash");
                patchesOk = false;
            }
        }
        if (!patchesOk) continue;
        const std::wstring zipPath = folder + L"\\" + f.path + L"._.zip";
        if (GetFileAttributesW(zipPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::string unzipped;
            if (!ReadZipEntry(zipPath, unzipped)) {
                problem(L"[" + f.path + L"._.zip] cannot be unpacked (the updater fetches it first)");
                continue;
            }
            if (Sha256Hex(unzipped) != expected) {
                problem(L"[" + f.path + L"._.zip] holds other bytes than its file (the updater fetches it first)");
                continue;
            }
        }
        ++filesOk;
    }
    return problems;
}

int Verify(const Options& o) {
    const std::wstring folder = FullPath(o.verifyFolder);
    const DWORD attrs = GetFileAttributesW(folder.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return Fail(L"no such folder: " + folder);
    std::string publicKey;
    if (!o.keyFile.empty()) {
        std::string privateKey;
        const bool ok = ReadKey(o.keyFile, privateKey) && mv::PublicKeyOf(privateKey, publicKey);
        SecureZeroMemory(privateKey.data(), privateKey.size());
        if (!ok) return Fail(o.keyFile + L" is not a key made by --new-key");
    } else if (!o.listKey.empty()) {
        std::wstring why;
        publicKey = Utf8(Trim(o.listKey));
        if (publicKey.compare(0, 8, "ListKey=") == 0) publicKey.erase(0, 8);
        if (!mv::IsListPublicKey(publicKey, why)) return Fail(L"--list-key is not a list key: " + why);
    }
    mv::ComInit com;
    // The list, the main list, and every other list that has a signature beside it.
    std::vector<std::wstring> lists = {o.listName};
    if (!o.mainList.empty()) lists.push_back(o.mainList);
    WIN32_FIND_DATAW fd;
    mv::FindHandle h(FindFirstFileW((folder + L"\\*.sig").c_str(), &fd));
    if (h) {
        do {
            const std::wstring listName = std::wstring(fd.cFileName).substr(0, wcslen(fd.cFileName) - 4);
            bool known = false;
            for (const std::wstring& l : lists) known = known || Lower(l) == Lower(listName);
            if (!known) lists.push_back(listName);
        } while (FindNextFileW(h.get(), &fd));
    }
    int problems = 0;
    size_t filesOk = 0;
    for (const std::wstring& name : lists) problems += VerifyList(folder, name, name == o.listName, publicKey, filesOk);
    if (publicKey.empty()) wprintf(L"signatures not checked: give --key or --list-key\n");
    if (problems) {
        fwprintf(stderr, L"mirovane-pack: %ls: verification FAILED, %d problem(s): do not upload\n", folder.c_str(), problems);
        return 1;
    }
    wprintf(L"%ls: verified, %lu list(s), %lu file(s) match their hashes\n", folder.c_str(),
            static_cast<unsigned long>(lists.size()), static_cast<unsigned long>(filesOk));
    return 0;
}

// The updater's own bytes: what precedes a package it may carry already.
bool BareUpdater(const std::string& image, std::string& bare, std::wstring& why) {
    PackageSpan span;
    switch (ParsePackageTrailer(image, image.size(), span, why)) {
        case TrailerCheck::None: bare = image; return true;
        case TrailerCheck::Ok: bare = image.substr(0, static_cast<size_t>(span.offset)); return true;
        case TrailerCheck::Bad: return false;
    }
    return false;
}

// Writes o.bundleOut: the updater, then a zip of what the pack wrote to `output` (the lists
// under the names the updater looks for, the files under their list paths), then the trailer.
// Reads the updater --bundle names, without any package it carries; 0, or Fail's 1. Checked
// before anything is written.
int ReadBundleUpdater(const Options& o, const std::wstring& output, std::string& bare) {
    const std::wstring updater = FullPath(o.bundleUpdater), out = FullPath(o.bundleOut);
    if (Lower(updater) == Lower(out)) return Fail(L"--bundle: the output must not be the updater: " + out);
    if (Within(out, output)) return Fail(L"--bundle: the output must lie outside the output folder: " + out);
    std::string image;
    if (!ReadAll(updater, image)) return Fail(L"--bundle: cannot read " + updater);
    if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') return Fail(L"--bundle: not a Windows executable: " + updater);
    std::wstring why;
    if (!BareUpdater(image, bare, why)) return Fail(L"--bundle: " + updater + L" carries a damaged package: " + why);
    return 0;
}

int Bundle(const Options& o, const std::wstring& output, const std::vector<std::wstring>& files, bool signedLists,
           const std::string& bare) {
    const std::wstring out = FullPath(o.bundleOut);

    std::vector<std::pair<std::wstring, std::wstring>> members = {{o.listName, kPackageListName}};
    if (signedLists) members.push_back({o.listName + L".sig", std::wstring(kPackageListName) + L".sig"});
    if (!o.mainList.empty()) {
        members.push_back({o.mainList, kPackageMainListName});
        if (signedLists) members.push_back({o.mainList + L".sig", std::wstring(kPackageMainListName) + L".sig"});
    }
    for (const std::wstring& rel : files) {
        std::wstring name = rel;
        for (wchar_t& c : name)
            if (c == L'\\') c = L'/';
        if (Lower(name).compare(0, 2, L"__") == 0 && Lower(name).find(L"4mirovane.xml") != std::wstring::npos)
            return Fail(L"--bundle: the release file " + rel + L" has the name of a packed list");
        members.push_back({rel, name});
    }
    std::vector<std::pair<std::wstring, std::string>> entries;
    for (const auto& [from, name] : members) {
        std::string data;
        if (!ReadAll(output + L"\\" + from, data)) return Fail(L"--bundle: cannot read " + output + L"\\" + from);
        entries.emplace_back(name, std::move(data));
    }
    const std::wstring zipPath = out + L".zip~";
    const bool zipped = WriteZipEntries(zipPath, entries);
    entries.clear();
    std::string zip;
    const bool read = zipped && ReadAll(zipPath, zip);
    DeleteFileW(zipPath.c_str());
    if (!read) return Fail(L"--bundle: cannot write the package " + zipPath);
    if (static_cast<uint64_t>(bare.size()) + zip.size() > 0xFFFFFFFFull)
        return Fail(L"--bundle: the updater and the package together pass 4 GiB");
    const std::string trailer = MakePackageTrailer(static_cast<uint32_t>(bare.size()), static_cast<uint32_t>(zip.size()));
    if (!WriteAll(out, bare + zip + trailer)) {
        DeleteFileW(out.c_str());
        return Fail(L"--bundle: cannot write " + out);
    }
    wprintf(L"bundled %ls (%lu bytes: updater %lu, package %lu, %lu files)\n", out.c_str(),
            static_cast<unsigned long>(bare.size() + zip.size() + trailer.size()), static_cast<unsigned long>(bare.size()),
            static_cast<unsigned long>(zip.size()), static_cast<unsigned long>(files.size()));
    return 0;
}

// The files of an older version, lower-cased relative path -> full path: an output folder of
// this tool (it holds the list) gives the files its list names, a release folder all its files.
bool PreviousFiles(const std::wstring& folder, const std::wstring& listName, std::map<std::wstring, std::wstring>& out,
                   std::wstring& error) {
    const DWORD attrs = GetFileAttributesW(folder.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        error = L"the previous folder does not exist: " + folder;
        return false;
    }
    std::vector<std::wstring> files;
    const std::wstring listPath = folder + L"\\" + listName;
    if (GetFileAttributesW(listPath.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ListedList list;
        mv::ComInit com;
        if (!ReadList(listPath, list, error)) {
            error = listPath + L": " + error;
            return false;
        }
        for (const ListedFile& f : list.files) {
            bool outside = f.path.empty() || f.path.find(L':') != std::wstring::npos || f.path[0] == L'\\';
            for (const std::wstring& part : SplitTrim(f.path, L'\\')) outside = outside || part == L"..";
            if (!outside) files.push_back(f.path);
        }
    } else {
        ListFiles(folder, L"", files);
    }
    for (const std::wstring& f : files) out[Lower(f)] = folder + L"\\" + f;
    return true;
}

int Pack(const Options& o) {
    const std::wstring release = FullPath(o.release), output = FullPath(o.output);
    const DWORD attrs = GetFileAttributesW(release.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY))
        return Fail(L"the release folder does not exist: " + release);
    if (Within(output, release) || Within(release, output))
        return Fail(L"the output folder must lie outside the release folder and not contain it: " + output);

    std::string bundleUpdater;
    if (!o.bundleOut.empty() && ReadBundleUpdater(o, output, bundleUpdater) != 0) return 1;

    std::vector<std::wstring> files;
    ListFiles(release, L"", files);
    std::sort(files.begin(), files.end(), [](const std::wstring& a, const std::wstring& b) { return Lower(a) < Lower(b); });
    if (files.empty()) return Fail(L"the release folder holds no file: " + release);
    std::map<std::wstring, std::wstring> lowerNames;
    for (const std::wstring& f : files) lowerNames[Lower(f)] = f;
    for (const std::wstring& name : {o.listName, o.mainList}) {
        if (name.empty()) continue;
        if (name.find_first_of(L"\\/:") != std::wstring::npos) return Fail(L"a list name is a plain file name: " + name);
        if (lowerNames.count(Lower(name)) || lowerNames.count(Lower(name) + L"._.zip"))
            return Fail(L"the list name " + name + L" is the name of a release file");
    }

    std::map<std::wstring, std::wstring> targets;  // lower-cased path -> desname
    if (!o.targetsFile.empty()) {
        std::vector<std::wstring> lines;
        if (!ReadLines(o.targetsFile, lines)) return Fail(L"cannot read " + o.targetsFile);
        for (const std::wstring& line : lines) {
            const size_t eq = line.find(L'=');
            if (eq == std::wstring::npos) return Fail(L"a targets line is \"path = target;target\": " + line);
            const std::wstring path = Backslashes(Trim(line.substr(0, eq)));
            if (!lowerNames.count(Lower(path))) return Fail(L"the targets file names a file not in the release: " + path);
            targets[Lower(path)] = Trim(line.substr(eq + 1));
        }
    }
    std::string key;
    long long sequence = 0;
    std::wstring expires;
    if (!o.keyFile.empty()) {
        if (!ReadKey(o.keyFile, key)) return Fail(o.keyFile + L" is not a key made by --new-key");
        if (!o.sequence.empty() && !ParseSequence(o.sequence, sequence)) return Fail(L"--sequence needs a positive number");
        if (o.sequence.empty()) sequence = PreviousSequence(FullPath(o.output) + L"\\" + o.listName) + 1;
        long long seconds = 0;
        if (o.expires.empty()) {
            // A signed list that never expires can be replayed for ever once it leaks.
            expires = FormatUtcTime(NowUtcSeconds() + 365LL * 86400);
            wprintf(L"the signed lists expire on %ls (one year from now; --expires TIME for another, --expires none for none)\n",
                    expires.c_str());
        } else if (Lower(Trim(o.expires)) != L"none") {
            if (!ParseUtcTime(o.expires, seconds))
                return Fail(L"--expires needs a UTC time such as 2031-01-01T00:00:00Z, or none: " + o.expires);
            if (seconds <= NowUtcSeconds()) return Fail(L"--expires names a time already past: " + o.expires);
            expires = Trim(o.expires);
        }
    } else if (!o.sequence.empty() || !o.expires.empty()) {
        return Fail(L"--sequence and --expires belong to a signed list (--key)");
    }
    std::vector<std::vector<std::wstring>> runs;
    if (!o.runsFile.empty()) {
        std::vector<std::wstring> lines;
        if (!ReadLines(o.runsFile, lines)) return Fail(L"cannot read " + o.runsFile);
        for (const std::wstring& line : lines) {
            std::vector<std::wstring> parts = SplitTrim(line, L'|');
            if (parts.size() > 3 || parts[0].empty()) return Fail(L"a runs line is \"path | parameters | wait\": " + line);
            parts.resize(3);
            runs.push_back(parts);
        }
    }

    // What this pack changes for users, against the list already published from this folder.
    std::vector<std::pair<std::wstring, std::wstring>> hashes;
    for (const std::wstring& rel : files) {
        std::string data;
        if (!ReadAll(release + L"\\" + rel, data)) return Fail(L"cannot read " + rel);
        const std::wstring hash = Sha256Hex(data);
        if (hash.size() != 64) return Fail(L"cannot hash " + rel);
        hashes.emplace_back(rel, hash);
    }
    {
        const std::wstring previousPath = output + L"\\" + o.listName;
        ListedList before;
        std::wstring error;
        mv::ComInit com;
        const bool hadList = GetFileAttributesW(previousPath.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (hadList && !ReadList(previousPath, before, error))
            wprintf(L"the list at %ls cannot be read (%ls): every file counts as new\n", previousPath.c_str(), error.c_str());
        PrintChange(previousPath, hadList, before, CompareWithPrevious(hashes, before));
    }
    std::vector<std::map<std::wstring, std::wstring>> previous(o.previous.size());
    for (size_t i = 0; i < o.previous.size(); ++i) {
        const std::wstring folder = FullPath(o.previous[i]);
        if (Within(folder, release) || Within(release, folder)) return Fail(L"--previous names the release folder: " + folder);
        std::wstring error;
        if (!PreviousFiles(folder, o.listName, previous[i], error)) return Fail(error);
    }
    if (o.dryRun) {
        wprintf(L"dry run: would write %lu files and %ls%ls%ls to %ls; nothing was written\n",
                static_cast<unsigned long>(files.size()), o.listName.c_str(), o.mainList.empty() ? L"" : L" and ",
                o.mainList.c_str(), output.c_str());
        if (!key.empty()) wprintf(L"dry run: the list would be signed with sequence %lld\n", sequence);
        if (!o.bundleOut.empty())
            wprintf(L"dry run: would bundle the release onto %ls as %ls\n", o.bundleUpdater.c_str(), o.bundleOut.c_str());
        return 0;
    }

    MakeDirs(output);
    std::string list = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<update>\r\n";
    if (!o.fileUrl.empty()) list += "  <fileurl>" + XmlEscape(o.fileUrl) + "</fileurl>\r\n";
    if (!o.guid.empty()) list += "  <guid>" + XmlEscape(o.guid) + "</guid>\r\n";
    // What a signed updater checks before it uses a list; the main list carries the same.
    std::string trust;
    if (!key.empty()) trust += "  <sequence>" + std::to_string(sequence) + "</sequence>\r\n";
    if (!expires.empty()) trust += "  <expires>" + XmlEscape(expires) + "</expires>\r\n";
    list += trust;
    if (!o.description.empty() && o.mainList.empty())
        list += "  <description>" + XmlEscape(o.description) + "</description>\r\n";
    for (const std::wstring& rel : files) {
        std::string data;
        if (!ReadAll(release + L"\\" + rel, data)) return Fail(L"cannot read " + rel);
        const std::wstring out = output + L"\\" + rel;
        const std::wstring hash = Sha256Hex(data);
        if (hash.size() != 64) return Fail(L"cannot hash " + rel);
        // The older versions of this file, read before its new copy is written: an older
        // output folder may be this one.
        std::vector<std::pair<std::wstring, std::string>> olds;
        for (const auto& files : previous) {
            auto it = files.find(Lower(rel));
            if (it == files.end()) continue;
            std::string old;
            if (!ReadAll(it->second, old)) return Fail(L"cannot read " + it->second);
            const std::wstring oldHash = Sha256Hex(old);
            bool seen = oldHash == hash;
            for (const auto& known : olds) seen = seen || known.first == oldHash;
            if (!seen) olds.emplace_back(oldHash, std::move(old));
        }
        MakeDirs(out.substr(0, out.find_last_of(L'\\')));
        if (!WriteAll(out, data)) return Fail(L"cannot write " + out);
        Wrote(out, data.size());
        bool zippedWritten = false;
        size_t servedSize = data.size();  // what the updater fetches without a patch
        if (o.zip) {
            const std::wstring zipPath = out + L"._.zip";
            const std::wstring base = rel.substr(rel.find_last_of(L'\\') + 1);
            if (!WriteZip(zipPath, base, data)) return Fail(L"cannot write " + zipPath);
            std::string zipped;
            ReadAll(zipPath, zipped);
            // Only worth serving when it saves something.
            if (zipped.size() < data.size()) {
                Wrote(zipPath, zipped.size());
                zippedWritten = true;
                servedSize = zipped.size();
            } else {
                DeleteFileW(zipPath.c_str());
            }
        }
        std::string patches;
        for (const auto& [oldHash, old] : olds) {
            std::string patch;
            std::wstring why;
            if (!MakePatch(old, data, patch, why)) {
                wprintf(L"no patch for %ls from %ls: %ls\n", rel.c_str(), oldHash.substr(0, 16).c_str(), why.c_str());
                continue;
            }
            // A patch that saves little is not worth the updater's work: at most half.
            if (patch.size() * 2 > servedSize) {
                wprintf(L"no patch for %ls from %ls: %lu bytes, more than half of the %lu fetched without it\n", rel.c_str(),
                        oldHash.substr(0, 16).c_str(), static_cast<unsigned long>(patch.size()),
                        static_cast<unsigned long>(servedSize));
                continue;
            }
            const std::wstring patchRel = rel + L"." + oldHash.substr(0, 16) + L".zpatch";
            if (!WriteAll(output + L"\\" + patchRel, patch)) return Fail(L"cannot write " + output + L"\\" + patchRel);
            Wrote(output + L"\\" + patchRel, patch.size());
            patches += "    <patch from=\"" + Utf8(oldHash) + "\" path=\"" + XmlEscape(patchRel) + "\" size=\"" +
                       std::to_string(patch.size()) + "\" sha256=\"" + Utf8(Sha256Hex(patch)) + "\"/>\r\n";
        }
        list += "  <file path=\"" + XmlEscape(rel) + "\" ver=\"" + XmlEscape(hash) + "\"";
        // A patched file is rebuilt by the updater, which checks the result against this.
        if (!key.empty() || !patches.empty()) list += " sha256=\"" + Utf8(hash) + "\"";
        // What the updater would otherwise ask the server: the size, and whether a zipped form exists.
        list += " size=\"" + std::to_string(data.size()) + "\" zip=\"" + (zippedWritten ? "1" : "0") + "\"";
        auto t = targets.find(Lower(rel));
        if (t != targets.end()) list += " desname=\"" + XmlEscape(t->second) + "\"";
        list += patches.empty() ? "/>\r\n" : ">\r\n" + patches + "  </file>\r\n";
    }
    for (const auto& r : runs)
        list += "  <run path=\"" + XmlEscape(r[0]) + "\" param=\"" + XmlEscape(r[1]) + "\" wait=\"" + XmlEscape(r[2]) + "\"/>\r\n";
    list += "</update>\r\n";
    const std::wstring listPath = output + L"\\" + o.listName;
    if (!WriteAll(listPath, list)) return Fail(L"cannot write " + listPath);
    Wrote(listPath, list.size());
    if (!key.empty() && !WriteSignature(key, listPath, mv::ListRole::Update, list)) return 1;
    if (!o.mainList.empty()) {
        std::string main = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<update>\r\n";
        if (!key.empty() && !o.guid.empty()) main += "  <guid>" + XmlEscape(o.guid) + "</guid>\r\n";
        main += trust;
        if (!o.description.empty()) main += "  <description>" + XmlEscape(o.description) + "</description>\r\n";
        main += "</update>\r\n";
        const std::wstring mainPath = output + L"\\" + o.mainList;
        if (!WriteAll(mainPath, main)) return Fail(L"cannot write " + mainPath);
        Wrote(mainPath, main.size());
        if (!key.empty() && !WriteSignature(key, mainPath, mv::ListRole::Main, main)) return 1;
    }
    wprintf(L"%lu files listed in %ls\n", static_cast<unsigned long>(files.size()), listPath.c_str());
    if (!key.empty()) wprintf(L"signed, sequence %lld%ls%ls\n", sequence, expires.empty() ? L", no expiry" : L", expires ",
                              expires.c_str());
    if (!o.bundleOut.empty()) return Bundle(o, output, files, !key.empty(), bundleUpdater);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h" || std::wstring(argv[1]) == L"/?")) {
        Usage(stdout);
        return 0;
    }
    if (argc == 3 && std::wstring(argv[1]) == L"--new-key") return NewKey(argv[2]);
    Options o;
    if (argc < 2 || !ParseArguments(argc, argv, o)) {
        Usage(stderr);
        return 2;
    }
    return o.verifyFolder.empty() ? Pack(o) : Verify(o);
}
