// mirovane-embed <mirovane.exe> <settings.ini> <output.exe>
// Writes a vendor's settings file into a copy of mirovane.exe as its built-in settings
// (RT_RCDATA 179). The input executable is never changed: the copy is made first and
// only the copy is updated; on any failure the partial output is removed. An update package
// appended to the input (mirovane-pack --bundle) is carried over to the output, after the
// new resources, with its trailer rewritten.
//
// The settings are checked first: a text the settings reader would misread, or a ListKey
// that is not a P-256 public key (an updater that refuses every list for ever), is refused
// and nothing is written.
//
//   mirovane-embed --defaults     a commented settings file to start from, on stdout
//   mirovane-embed --reference    the settings reference (Markdown) the README carries
//   mirovane-embed --help         usage
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "config/settings_reference.h"
#include "package/package.h"
#include "resources/resource_ids.h"
#include "util/crypto.h"
#include "util/text.h"

namespace {

constexpr WORD kSettingsResource = MV_RES_SETTINGS;

const wchar_t kUsage[] =
    L"usage: mirovane-embed <mirovane.exe> <settings.ini> <output.exe>\n"
    L"       mirovane-embed --defaults > settings.ini\n"
    L"       mirovane-embed --reference\n"
    L"\n"
    L"Writes the settings file into a copy of mirovane.exe (the input is never changed) and\n"
    L"prints what the copy will do: product, application directory, list addresses, signed\n"
    L"or not. Settings that are not \"key=value\" lines under \"[section]\" headers, or a\n"
    L"ListKey that is not a P-256 public key, are refused and nothing is written.\n"
    L"\n"
    L"  --defaults    print a commented settings file to start from (English; set ListURL,\n"
    L"                MainListURL, Name and Application)\n"
    L"  --reference   print every setting with its default and values (Markdown)\n"
    L"  --help        this text\n"
    L"\n"
    L"Exit code: 0 written, 1 refused or failed (the reason on stderr), 2 usage error.\n";

int Fail(const wchar_t* what, const std::wstring& path, DWORD err) {
    wchar_t* msg = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, err, 0, reinterpret_cast<wchar_t*>(&msg), 0, nullptr);
    std::wstring text = msg ? msg : L"";
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    fwprintf(stderr, L"mirovane-embed: %ls: %ls (error %lu%ls%ls)\n", what, path.c_str(), err,
             text.empty() ? L"" : L": ", text.c_str());
    if (msg) LocalFree(msg);
    return 1;
}

bool ReadWhole(const std::wstring& path, std::string& out, DWORD& err) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (f == INVALID_HANDLE_VALUE) { err = GetLastError(); return false; }
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(f, &size) && size.QuadPart < (64 << 20);
    if (ok) {
        out.resize(static_cast<size_t>(size.QuadPart));
        DWORD got = 0;
        ok = out.empty() || (ReadFile(f, out.data(), static_cast<DWORD>(out.size()), &got, nullptr) && got == out.size());
    }
    err = ok ? 0 : (GetLastError() ? GetLastError() : ERROR_READ_FAULT);
    CloseHandle(f);
    return ok;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes, DWORD& err) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) { err = GetLastError(); return false; }
    DWORD put = 0;
    const bool ok = bytes.empty() || (WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) && put == bytes.size());
    err = ok ? 0 : (GetLastError() ? GetLastError() : ERROR_WRITE_FAULT);
    CloseHandle(f);
    return ok;
}

// A Win32 executable starts with "MZ" and has a "PE\0\0" header where e_lfanew points.
bool LooksLikeExecutable(const std::string& bytes) {
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
    DWORD lfanew = *reinterpret_cast<const DWORD*>(bytes.data() + 0x3C);
    return lfanew + 4 <= bytes.size() && bytes.compare(lfanew, 4, std::string("PE\0\0", 4)) == 0;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD lang, LONG_PTR param) {
    reinterpret_cast<std::vector<WORD>*>(param)->push_back(lang);
    return TRUE;
}

// Bytes to stdout as they are: no text-mode line-end translation.
void WriteOut(const std::string& bytes) {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

// Everything wrong with the settings, one line each; empty when they may be embedded.
std::vector<std::wstring> SettingsErrors(const std::wstring& text) {
    std::vector<std::wstring> errors;
    for (const SettingsProblem& p : SettingsSyntaxProblems(text)) errors.push_back(mv::Format(L"line %d: %s", p.line, p.text.c_str()));
    const std::wstring key = SettingValueIn(text, L"UPDATEINFO", L"ListKey");
    std::wstring why;
    if (!key.empty() && !mv::IsListPublicKey(mv::ToUtf8(key), why))
        errors.push_back(L"[UPDATEINFO] ListKey is not a list signing key: " + why +
                         L" (use the ListKey= line that mirovane-pack --new-key printed)");
    // The application directory is named by the raw-text rule of start-up (the first "Name"
    // after "[APPLICATION]"), which a comment or a key like AgentName above Name can fool.
    const std::wstring name = SettingValueIn(text, L"APPLICATION", L"Name");
    const std::wstring dirName = ReadEmbeddedSetting(text, L"[APPLICATION]", L"Name");
    if (dirName != name)
        errors.push_back(L"[APPLICATION] Name is \"" + name + L"\" but the application directory would be named \"" +
                         dirName + L"\" (start-up takes the text after the first \"Name\" below [APPLICATION]): write "
                         L"\"Name=<name>\" without spaces, above any other line that holds the word Name");
    return errors;
}

std::vector<std::wstring> SettingsWarnings(const std::wstring& text) {
    std::vector<std::wstring> warnings;
    for (const std::wstring& k : UnknownSettings(text)) warnings.push_back(k + L" is not a setting the updater reads");
    if (SettingValueIn(text, L"APPLICATION", L"Name").empty())
        warnings.push_back(L"[APPLICATION] Name is empty: the application directory is C:\\Brenwick\\omra\\ itself");
    if (SettingValueIn(text, L"UPDATEINFO", L"ListURL").empty())
        warnings.push_back(L"[UPDATEINFO] ListURL is empty: the updater has no list to check");
    else if (SettingValueIn(text, L"UPDATEINFO", L"MainListURL").empty())
        warnings.push_back(L"[UPDATEINFO] MainListURL is empty: every check asks the default address, which "
                           L"does not answer, and fails (publish a main list: mirovane-pack --main-list)");
    if (!SettingValueIn(text, L"UPDATEINFO", L"ListGuid").empty() && SettingValueIn(text, L"UPDATEINFO", L"ListKey").empty())
        warnings.push_back(L"[UPDATEINFO] ListGuid is only checked on signed lists (ListKey is empty)");
    return warnings;
}

void PrintSummary(const std::wstring& text) {
    const std::wstring name = SettingValueIn(text, L"APPLICATION", L"Name");
    const std::wstring list = SettingValueIn(text, L"UPDATEINFO", L"ListURL");
    const std::wstring main = SettingValueIn(text, L"UPDATEINFO", L"MainListURL");
    const std::wstring key = SettingValueIn(text, L"UPDATEINFO", L"ListKey");
    const std::wstring guid = SettingValueIn(text, L"UPDATEINFO", L"ListGuid");
    const std::wstring app = SettingValueIn(text, L"APPLICATION", L"Application");
    wprintf(L"  product:               %ls\n", name.empty() ? L"(none)" : name.c_str());
    wprintf(L"  application directory: C:\\Brenwick\\omra\\%ls%ls\n", name.c_str(), name.empty() ? L"" : L"\\");
    wprintf(L"  host program:          %ls\n", app.empty() ? L"(none)" : app.c_str());
    wprintf(L"  list:                  %ls\n", list.empty() ? L"(none)" : list.c_str());
    wprintf(L"  main list:             %ls\n", main.empty() ? L"(none: the default address)" : main.c_str());
    if (key.empty())
        wprintf(L"  signed lists:          no\n");
    else
        wprintf(L"  signed lists:          yes, key %ls...%ls\n", key.substr(0, 8).c_str(),
                guid.empty() ? L"" : (L", guid " + guid).c_str());
}

int Embed(const std::wstring& exe, const std::wstring& ini, const std::wstring& out) {
    std::string settings, image;
    DWORD err = 0;
    if (!ReadWhole(ini, settings, err)) return Fail(L"cannot read the settings file", ini, err);
    // The updater reads its settings in the system's 8-bit code page, as this does; a byte
    // order mark would become part of the first line there.
    if (settings.compare(0, 3, "\xEF\xBB\xBF") == 0 || settings.compare(0, 2, "\xFF\xFE") == 0 ||
        settings.compare(0, 2, "\xFE\xFF") == 0) {
        fwprintf(stderr, L"mirovane-embed: %ls: the file starts with a Unicode byte order mark: save it as plain "
                         L"8-bit text (the system's code page)\nmirovane-embed: settings refused, nothing written\n",
                 ini.c_str());
        return 1;
    }
    const std::wstring text = mv::FromCodePage(settings, CP_ACP);
    const std::vector<std::wstring> errors = SettingsErrors(text);
    for (const std::wstring& e : errors) fwprintf(stderr, L"mirovane-embed: %ls: %ls\n", ini.c_str(), e.c_str());
    if (!errors.empty()) {
        fwprintf(stderr, L"mirovane-embed: settings refused, nothing written\n");
        return 1;
    }
    if (!ReadWhole(exe, image, err)) return Fail(L"cannot read the executable", exe, err);
    if (!LooksLikeExecutable(image)) return Fail(L"not a Windows executable", exe, ERROR_BAD_EXE_FORMAT);
    // Rewriting the resources would drop or shift bytes appended after the image: the package
    // is taken off first and appended again after.
    std::string package;
    PackageSpan span;
    std::wstring why;
    switch (ParsePackageTrailer(image, image.size(), span, why)) {
        case TrailerCheck::None: break;
        case TrailerCheck::Bad:
            fwprintf(stderr, L"mirovane-embed: %ls: the update package it carries is damaged: %ls\n", exe.c_str(), why.c_str());
            return 1;
        case TrailerCheck::Ok:
            package = image.substr(static_cast<size_t>(span.offset), static_cast<size_t>(span.length));
            image.resize(static_cast<size_t>(span.offset));
            break;
    }

    wchar_t fullExe[MAX_PATH] = {}, fullOut[MAX_PATH] = {};
    GetFullPathNameW(exe.c_str(), MAX_PATH, fullExe, nullptr);
    GetFullPathNameW(out.c_str(), MAX_PATH, fullOut, nullptr);
    if (lstrcmpiW(fullExe, fullOut) == 0) return Fail(L"the output must not be the input", out, ERROR_INVALID_PARAMETER);

    // The settings may exist under any language; every copy is replaced so that exactly one remains.
    std::vector<WORD> langs;
    if (HMODULE mod = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
        EnumResourceLanguagesW(mod, RT_RCDATA, MAKEINTRESOURCEW(kSettingsResource), CollectLanguage,
                               reinterpret_cast<LONG_PTR>(&langs));
        FreeLibrary(mod);
    }
    const WORD newLang = langs.empty() ? MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL) : langs.front();

    if (package.empty() ? !CopyFileW(exe.c_str(), out.c_str(), FALSE) : !WriteBytes(out, image, err))
        return Fail(L"cannot write the output", out, package.empty() ? GetLastError() : err);
    HANDLE upd = BeginUpdateResourceW(out.c_str(), FALSE);
    if (!upd) {
        err = GetLastError();
        DeleteFileW(out.c_str());
        return Fail(L"cannot open the output's resources", out, err);
    }
    bool ok = true;
    for (WORD lang : langs)
        if (lang != newLang) ok = ok && UpdateResourceW(upd, RT_RCDATA, MAKEINTRESOURCEW(kSettingsResource), lang, nullptr, 0);
    if (!ok || !UpdateResourceW(upd, RT_RCDATA, MAKEINTRESOURCEW(kSettingsResource), newLang, settings.data(),
                                static_cast<DWORD>(settings.size()))) {
        err = GetLastError();
        EndUpdateResourceW(upd, TRUE);
        DeleteFileW(out.c_str());
        return Fail(L"cannot replace the settings resource", out, err);
    }
    if (!EndUpdateResourceW(upd, FALSE)) {
        err = GetLastError();
        DeleteFileW(out.c_str());
        return Fail(L"cannot write the output's resources", out, err);
    }
    if (!package.empty()) {
        std::string written;
        const bool ok2 = ReadWhole(out, written, err) && static_cast<uint64_t>(written.size()) + package.size() <= 0xFFFFFFFFull &&
                         WriteBytes(out, written + package +
                                             MakePackageTrailer(static_cast<uint32_t>(written.size()),
                                                                static_cast<uint32_t>(package.size())),
                                    err);
        if (!ok2) {
            DeleteFileW(out.c_str());
            return Fail(L"cannot append the update package to the output", out, err ? err : ERROR_FILE_TOO_LARGE);
        }
        wprintf(L"mirovane-embed: the update package it carries (%lu bytes) is carried over\n",
                static_cast<unsigned long>(package.size()));
    }
    for (const std::wstring& w : SettingsWarnings(text)) fwprintf(stderr, L"mirovane-embed: warning: %ls\n", w.c_str());
    wprintf(L"mirovane-embed: wrote %ls with %lu bytes of settings from %ls\n", out.c_str(),
            static_cast<unsigned long>(settings.size()), ini.c_str());
    PrintSummary(text);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring first = argc > 1 ? argv[1] : L"";
    if (argc == 2 && (first == L"--help" || first == L"-h" || first == L"/?")) {
        WriteOut(mv::ToUtf8(kUsage));
        return 0;
    }
    if (argc == 2 && first == L"--defaults") {
        WriteOut(mv::ToCodePage(StarterSettingsText(), CP_ACP));
        return 0;
    }
    if (argc == 2 && first == L"--reference") {
        WriteOut(mv::ToUtf8(SettingsReferenceMarkdown()));
        return 0;
    }
    if (argc != 4 || first.compare(0, 2, L"--") == 0) {
        if (argc > 1) fwprintf(stderr, L"mirovane-embed: expected three paths or one of --defaults, --reference, --help\n");
        fwprintf(stderr, L"%ls", kUsage);
        return 2;
    }
    return Embed(argv[1], argv[2], argv[3]);
}
