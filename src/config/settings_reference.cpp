#include "config/settings_reference.h"

#include <algorithm>

#include "util/text.h"

namespace {

using P = SettingPlace;

// The stage names, in stage order: the keys of the two hook sections besides UpdateStartup.
// A unit test holds this list against the stage names the download list uses.
const wchar_t* const kStageKeys[] = {
    L"UpdateNone",          L"UpdateCheckRemote",   L"UpdateCheckRemoteError", L"UpdateCheckRemoteOk",
    L"UpdateDownload",      L"UpdateDownloadError", L"UpdateDownloadOk",       L"UpdateCheckLocal",
    L"UpdateCheckLocalError", L"UpdateCheckLocalOk", L"UpdateCopy",            L"UpdateCopyError",
    L"UpdateCopyOk",        L"UpdateEnd",
};

bool IsHookSection(const std::wstring& lowerSection) {
    return lowerSection == L"updateevent" || lowerSection == L"updateeventwaitclose";
}

bool IsHookKey(const std::wstring& lowerKey) {
    if (lowerKey == L"updatestartup") return true;
    for (const wchar_t* k : kStageKeys)
        if (mv::ToLower(k) == lowerKey) return true;
    return false;
}

std::vector<std::wstring> AliasesOf(const SettingInfo& s) {
    std::vector<std::wstring> out;
    if (!*s.aliases) return out;
    for (const std::wstring& a : mv::Split(s.aliases, L',')) out.push_back(mv::Trim(a));
    return out;
}

// Markdown table cells hold no "|" and no line break; "<name>" would read as an HTML tag.
std::wstring Cell(const wchar_t* text) {
    return mv::ReplaceAll(mv::ReplaceAll(mv::ReplaceAll(text, L"|", L"\\|"), L"<", L"&lt;"), L">", L"&gt;");
}

// Wraps `text` into comment lines of at most 92 columns.
void AppendComment(std::wstring& out, const std::wstring& text) {
    constexpr size_t kWidth = 90;
    std::wstring line;
    for (const std::wstring& word : mv::Split(text, L' ')) {
        if (word.empty()) continue;
        if (!line.empty() && line.size() + 1 + word.size() > kWidth) {
            out += L"; " + line + L"\r\n";
            line.clear();
        }
        line += (line.empty() ? L"" : L" ") + word;
    }
    if (!line.empty()) out += L"; " + line + L"\r\n";
}

}  // namespace

const std::vector<SettingInfo>& SettingsReference() {
    static const std::vector<SettingInfo> table = {
        // --- [Mirovane]: how the updater behaves
        {L"Mirovane", L"Log", L"", L"text", L"no log file", L"a file name",
         L"The log file, relative to the application directory. One line per event, appended; "
         L"the first place to look when something goes wrong.",
         L"inst.log", P::SettingsFile},
        {L"Mirovane", L"LogTiming", L"", L"Boolean", L"0", L"0 or 1",
         L"1: log times to the millisecond and a line \"stage <n> <name>\" at every stage, so a "
         L"session's steps can be timed (scripts/bench.sh does).",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"Langage", L"Language", L"text", L"English",
         L"mirovanecn.lan, mirovanebig.lan or a file name",
         L"Language of boxes, windows and the log: mirovanecn.lan is the built-in simplified "
         L"Chinese, mirovanebig.lan the built-in traditional Chinese, any other name a .lan file in "
         L"the application directory. Language is read when Langage is empty. A file named after "
         L"the updater (<exe name>.lan) in the application directory is always read last and wins.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"Mode", L"", L"mode word", L"the update window",
         L"silence, appenter, appenternoprompt, checkforupdates, showwhenupdate, tryicon, mostsimple, "
         L"uninstall, emptytemp",
         L"Run mode when the command line names none (a mode word on the command line wins).",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"ShowWhenCheck", L"", L"Boolean", L"1", L"0 or 1",
         L"checkforupdates and appenter show the progress window while they check (appenter "
         L"then offers the update in it).",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"QuickCheck", L"", L"Boolean", L"1", L"0 or 1",
         L"checkforupdates, appenter and appenternoprompt answer from the list cached by the last "
         L"check and renew the cache in a hidden copy for the next time.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"CheckLostFile", L"", L"Boolean", L"0", L"0 or 1",
         L"Also updates files of the list that are missing on disk, even when their version is "
         L"the installed one.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"ConnectTryCount", L"", L"integer", L"3", L"1 or more (less counts as 1)",
         L"Connection attempts in a row before a file's download fails.", nullptr, P::SettingsFile},
        {L"Mirovane", L"NetTimeout", L"", L"seconds", L"30", L"1..600 (clamped)",
         L"Connect, send and receive time-out of every request.", nullptr, P::SettingsFile},
        {L"Mirovane", L"LowSpeedLimit", L"", L"bytes per second", L"1024", L"0 or more (0: no low-speed check)",
         L"A transfer (list fetch or file download) that brings less than this per second for "
         L"LowSpeedTime seconds is dropped with a \"Too slow\" log line; the connection tries then "
         L"apply.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"LowSpeedTime", L"", L"seconds", L"60", L"0..86400 (0: no low-speed check)",
         L"How long a transfer may stay below LowSpeedLimit before it is dropped.", nullptr, P::SettingsFile},
        {L"Mirovane", L"ProgramWaitTime", L"", L"seconds", L"1800", L"1..86400 (clamped)",
         L"The longest the updater waits for a program it started and must wait for (a run entry "
         L"with wait, an [UpdateEventWaitClose] hook); then it logs that the program still runs "
         L"and goes on.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"TimeOut", L"", L"seconds", L"60", L"0 or more",
         L"Time limit of the remote check's list fetch (list, main list, signatures) and of the "
         L"checksum service.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"MultCheckTimeOut", L"", L"seconds", L"60", L"0 or more",
         L"Time limit when a version page names several lists and the first to arrive is taken.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"TempAppPath", L"", L"Boolean", L"0", L"0 or 1",
         L"Use the application directory as the temporary directory.", nullptr, P::SettingsFile},
        {L"Mirovane", L"TempPath", L"", L"path (path macros allowed)",
         L"%ProgramData%\\Mirovane when elevated, else the user's temporary directory",
         L"a path; without a drive it is taken from the application directory",
         L"The working directory: downloads, the list cache, the saved download list, the settings package. "
         L"A directory other users can write gives up the protection of the private one (see \"Working directory\").",
         nullptr,
         P::SettingsFile},
        {L"Mirovane", L"Proxy", L"", L"host:port", L"no proxy", L"host, \":\", port",
         L"HTTP proxy for every request. A value without \":\" is reported (\"The proxy set "
         L"error!\") and nothing is fetched.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"ProxyUser", L"", L"user,password", L"no credentials", L"user, \",\", password",
         L"Credentials for the proxy.", nullptr, P::SettingsFile},
        {L"Mirovane", L"CheckTmSpan", L"", L"minutes", L"one check: the tray icon ends when it finds nothing",
         L"1..60 (less is 5, more is 60)",
         L"Period of the tray mode's checks; each check is spread by up to a tenth of the period.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"TrayCountdown", L"", L"seconds", L"120", L"5..3600 (clamped)",
         L"How long the tray pop-up counts down before it starts the update it offers.", nullptr,
         P::SettingsFile},
        {L"Mirovane", L"Skin", L"", L"text", L"none", L"any",
         L"Kept for older settings files; every skin shows the same progress window.", nullptr,
         P::SettingsFile},
        {L"Mirovane", L"UnZip", L"", L"Boolean", L"1", L"0 or 1",
         L"Unpack the zipped copies (<file>._.zip) as they arrive and install through the copy "
         L"step. 0 keeps the archives and moves the downloads the list names into the "
         L"application directory under their download names, each only after it passed its "
         L"sha256 (no install targets, no backups, no directory made, no file replaced; anything "
         L"else in the download folder stays out and is logged): leave it at 1.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"icacls", L"", L"Boolean", L"0", L"0 or 1",
         L"After copying, grant the Users group read, run and delete rights (never the right to "
         L"change the access list) on each installed file with the system's icacls.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"DetailedExitCode", L"", L"Boolean", L"0", L"0 or 1",
         L"1: the exit code tells the outcome of the run (see Exit code) instead of the number "
         L"of files that needed updating.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"MaxUnpackedMB", L"", L"number", L"1024", L"1 and up (megabytes)",
         L"The most a zipped copy of a file may unpack to; one that declares more, or more than "
         L"its volume has free, is refused before it is unpacked (the plain file is fetched "
         L"instead). When the list names a file's size (mirovane-pack writes it), that size is "
         L"the bound: a zipped copy unpacks to no more, and a file larger than it is refused.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"DotNetFix", L"DotNetFx, dotnetfix, dotnetfx", L"version", L"no .NET check",
         L"1.0, 1.1, 2.0, 3.0, 3.5, 4.0, 4.5 and later",
         L"The .NET Framework the host program needs: checked at start-up and offered for "
         L"download when missing.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"dotnetfx40", L"dotnetfx10, dotnetfx11, dotnetfx20, dotnetfx30, dotnetfx35", L"any text",
         L"not set", L"any non-empty value",
         L"Another way to name the version: a non-empty dotnetfxNN asks for version N.N (the "
         L"lowest one set wins over DotNetFix).",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"DotNetServer", L"", L"address", L"none", L"http or https address",
         L"Server of the .NET installers: <DotNetServer>/dotnetfx/dotnetfxNN.exe, when [APPLICATION] "
         L"dotnetfxNN names no address.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"WebSite", L"", L"address", L"https://www.mirovane.invalid", L"https address",
         L"The product's web site: the error page's download link (https only) and the default "
         L"connection test.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"ConnectionTestUrl", L"", L"address", L"WebSite", L"http or https address",
         L"Address tried when the host program is missing, to decide whether the error page can "
         L"offer a download.",
         nullptr, P::SettingsFile},
        {L"Mirovane", L"OwerCheckTm", L"", L"time stamp", L"never checked", L"-",
         L"Time of the last remote check. Kept by the updater in the copy of mirovane.ini in its "
         L"temporary directory; a value in the settings file is not read.",
         nullptr, P::TemporaryCopy},
        {L"Mirovane", L"ListFileZip", L"", L"Boolean", L"0", L"-",
         L"Whether the list was last found zipped. Kept by the updater in the copy of mirovane.ini "
         L"in its temporary directory; a value in the settings file is not read.",
         nullptr, P::TemporaryCopy},

        // --- [UPDATEINFO]: where the lists come from and how they are trusted
        {L"UPDATEINFO", L"ListURL", L"", L"address", L"none (required)",
         L"http or https address; [param1], [param2], [param] (or {param1}...) are filled in",
         L"Address of your update list (the list mirovane-pack writes). Also names the list "
         L"cache. A version page may stand here with [APPLICATION] CheckVerNumber=1.",
         L"http://updates.example.com/yourproduct/mirovane.xml", P::SettingsFile},
        {L"UPDATEINFO", L"MainListURL", L"", L"address",
         L"http://update.mirovane.invalid/mirovane.xml (fails)", L"http or https address",
         L"Address of the main list, fetched with every list; a check whose main list cannot be "
         L"fetched fails. Its entries are added to every list that names it (see \"The main "
         L"list\").",
         L"http://updates.example.com/yourproduct/main.xml", P::SettingsFile},
        {L"UPDATEINFO", L"Parameter1", L"", L"text", L"empty", L"any",
         L"Put into ListURL where it says [param1] or {param1}.", nullptr, P::SettingsFile},
        {L"UPDATEINFO", L"Parameter2", L"", L"text", L"empty", L"any",
         L"Put into ListURL where it says [param2] or {param2}.", nullptr, P::SettingsFile},
        {L"UPDATEINFO", L"Parameter", L"", L"text", L"empty", L"any",
         L"Put into ListURL where it says [param] or {param}.", nullptr, P::SettingsFile},
        {L"UPDATEINFO", L"FileMd5HandleUrl", L"", L"address",
         L"http://update.mirovane.invalid/ManagerCenter/Ajax/FileMd5Handle.aspx", L"http or https address",
         L"Checksum service asked for the version of main-list entries whose path holds "
         L"{agentName}; without an answer such a file is always downloaded.",
         nullptr, P::SettingsFile},
        {L"UPDATEINFO", L"ListKey", L"", L"base64", L"lists are not signed",
         L"the base64 of a P-256 public key (64 bytes), as mirovane-pack --new-key prints it",
         L"Turns on signed lists: every list and main list must carry a valid signature, and "
         L"every file its sha256. mirovane-embed refuses a value that is not a P-256 public key.",
         nullptr, P::SettingsFile},
        {L"UPDATEINFO", L"ListGuid", L"", L"guid", L"any guid",
         L"a guid, with or without braces, any case",
         L"With ListKey: a signed list whose <guid> differs is refused (mirovane-pack --guid).",
         nullptr, P::SettingsFile},

        // --- [APPLICATION]: the host program
        {L"APPLICATION", L"Name", L"", L"text", L"none (required)", L"a folder name",
         L"Product name: names the application directory C:\\Brenwick\\omra\\<Name>\\ and is the "
         L"caption of the updater's boxes and tray tip.",
         L"Your Product", P::SettingsFile},
        {L"APPLICATION", L"Application", L"", L"path", L"no host program",
         L"absolute, or relative to the application directory",
         L"The host program: closed (after asking) before its files are replaced and started "
         L"again after the update. appenter needs it.",
         L"yourprogram.exe", P::SettingsFile},
        {L"APPLICATION", L"Ver", L"", L"text", L"empty", L"any",
         L"Installed version text. A check that finds another version text (a version page's "
         L"<ver>) offers the update even when no file changed (exit code 2147483647).",
         nullptr, P::SettingsFile},
        {L"APPLICATION", L"CheckVerNumber", L"", L"Boolean", L"0", L"0 or 1",
         L"ListURL is a version page (<ver> and <url> elements) that names the lists to fetch.",
         nullptr, P::SettingsFile},
        {L"APPLICATION", L"PlanId", L"", L"text", L"empty", L"any",
         L"Plan identifier: the error page's site page ExeMiddle.aspx?id=<PlanId>.", nullptr,
         P::SettingsFile},
        {L"APPLICATION", L"AgentName", L"", L"text", L"kd", L"any",
         L"Replaces {agentName} in the paths of main-list entries.", nullptr, P::SettingsFile},
        {L"APPLICATION", L"zrdir", L"", L"text", L"temp", L"a folder name",
         L"Replaces {zrdir} in the install targets (desname) of main-list entries.", nullptr,
         P::SettingsFile},
        {L"APPLICATION", L"dotnetfx40", L"dotnetfx10, dotnetfx11, dotnetfx20, dotnetfx30, dotnetfx35",
         L"address", L"<DotNetServer>/dotnetfx/dotnetfxNN.exe", L"http or https address",
         L"Where the .NET Framework installer of that version is downloaded from.", nullptr,
         P::SettingsFile},
        {L"APPLICATION", L"KelvorbookId", L"", L"text", L"-", L"any",
         L"Read from Kelvorbook.ini in the parent of the updater's folder, not from mirovane.ini: "
         L"when that file exists the application directory is <Name>\\ZR_<KelvorbookId>.",
         nullptr, P::KelvorbookIni},

        // --- hooks
        {L"UpdateEvent", L"UpdateStartup", L"", L"command line", L"none", L"a program and its parameters",
         L"Started at start-up, without waiting.", nullptr, P::SettingsFile},
        {L"UpdateEvent", L"<stage name>", L"", L"command line", L"none", L"a program and its parameters",
         L"Started, without waiting, when the session reaches that stage: UpdateNone, "
         L"UpdateCheckRemote, UpdateCheckRemoteError, UpdateCheckRemoteOk, UpdateDownload, "
         L"UpdateDownloadError, UpdateDownloadOk, UpdateCheckLocal, UpdateCheckLocalError, "
         L"UpdateCheckLocalOk, UpdateCopy, UpdateCopyError, UpdateCopyOk, UpdateEnd.",
         nullptr, P::SettingsFile},
        {L"UpdateEventWaitClose", L"UpdateStartup", L"", L"command line", L"none",
         L"a program and its parameters", L"Started at start-up; the updater waits until it ends (at most [Mirovane] ProgramWaitTime).", nullptr,
         P::SettingsFile},
        {L"UpdateEventWaitClose", L"<stage name>", L"", L"command line", L"none",
         L"a program and its parameters",
         L"Started when the session reaches that stage (names as in [UpdateEvent]); the session "
         L"waits until it ends (at most [Mirovane] ProgramWaitTime).",
         nullptr, P::SettingsFile},
    };
    return table;
}

std::vector<std::wstring> SettingSections() {
    std::vector<std::wstring> out;
    for (const SettingInfo& s : SettingsReference())
        if (std::find(out.begin(), out.end(), s.section) == out.end()) out.push_back(s.section);
    return out;
}

std::wstring SettingsReferenceMarkdown() {
    std::wstring out;
    for (const std::wstring& section : SettingSections()) {
        out += L"\n**[" + section + L"]**\n\n";
        out += L"| Key | Type | Empty or missing | Values | What it does |\n|---|---|---|---|---|\n";
        for (const SettingInfo& s : SettingsReference()) {
            if (section != s.section) continue;
            std::wstring key = L"`" + std::wstring(s.key) + L"`";
            for (const std::wstring& a : AliasesOf(s)) key += L", `" + a + L"`";
            out += L"| " + key + L" | " + Cell(s.type) + L" | " + Cell(s.fallback) + L" | " + Cell(s.range) +
                   L" | " + Cell(s.meaning) + L" |\n";
        }
    }
    return out;
}

std::wstring StarterSettingsText() {
    std::wstring out;
    AppendComment(out, L"Settings of your updater, to embed with: mirovane-embed mirovane.exe "
                       L"this-file.ini your-updater.exe");
    AppendComment(out, L"Set ListURL, MainListURL, Name and Application; the other keys are commented "
                       L"out and keep their defaults. A line \";Key=...\" is a comment: remove the "
                       L"\";\" to set it. Lines are key=value; text in the system's 8-bit code page.");
    std::wstring section;
    for (const SettingInfo& s : SettingsReference()) {
        if (s.place != SettingPlace::SettingsFile) continue;
        if (section != s.section) {
            section = s.section;
            out += L"\r\n[" + section + L"]\r\n";
        }
        std::wstring about = s.meaning;
        about += L" Empty: " + std::wstring(s.fallback) + L". Values: " + s.range + L".";
        if (*s.aliases) about += L" Also read as: " + std::wstring(s.aliases) + L".";
        // Start-up names the application directory from the raw text: the first "Name" after
        // the first "[APPLICATION]". So no comment may name that section, and Name's own line
        // comes before its comment.
        about = mv::ReplaceAll(about, L"[APPLICATION] ", L"APPLICATION/");
        const std::wstring key = s.key[0] == L'<' ? L"UpdateCheckRemoteOk" : s.key;
        const std::wstring line = s.starterValue ? key + L"=" + s.starterValue + L"\r\n" : L";" + key + L"=\r\n";
        const bool keyFirst = section == L"APPLICATION" && key == L"Name";
        out += L"\r\n";
        if (keyFirst) out += line;
        AppendComment(out, std::wstring(s.key) + L": " + about);
        if (!keyFirst) out += line;
    }
    return out;
}

std::vector<SettingsProblem> SettingsSyntaxProblems(const std::wstring& text) {
    std::vector<SettingsProblem> problems;
    bool inSection = false;
    int number = 0;
    for (std::wstring line : mv::Split(text, L'\n')) {
        ++number;
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (number == 1 && !line.empty() && line[0] == 0xFEFF) line.erase(0, 1);
        const std::wstring t = mv::Trim(line);
        if (t.empty() || t[0] == L';' || t[0] == L'#') continue;
        if (t[0] == L'[') {
            if (t.back() != L']' || mv::Trim(t.substr(1, t.size() - 2)).empty())
                problems.push_back({number, L"a section header is \"[name]\": " + t});
            else
                inSection = true;
            continue;
        }
        const size_t eq = t.find(L'=');
        if (eq == std::wstring::npos || mv::Trim(t.substr(0, eq)).empty()) {
            problems.push_back({number, L"not \"key=value\", \"[section]\" or a comment: " + t});
            continue;
        }
        if (!inSection) problems.push_back({number, L"a key before the first [section]: " + t});
    }
    return problems;
}

namespace {

// Calls `each(lowerSection, section, key, value)` for every key line of the text.
template <typename F>
void ForEachKey(const std::wstring& text, F each) {
    std::wstring section;
    for (std::wstring line : mv::Split(text, L'\n')) {
        const std::wstring t = mv::Trim(line);
        if (t.empty() || t[0] == L';' || t[0] == L'#') continue;
        if (t[0] == L'[') {
            section = t.back() == L']' ? mv::Trim(t.substr(1, t.size() - 2)) : std::wstring();
            continue;
        }
        const size_t eq = t.find(L'=');
        if (eq == std::wstring::npos || section.empty()) continue;
        each(section, mv::Trim(t.substr(0, eq)), mv::Trim(t.substr(eq + 1)));
    }
}

}  // namespace

std::vector<std::wstring> UnknownSettings(const std::wstring& text) {
    std::vector<std::wstring> unknown;
    ForEachKey(text, [&](const std::wstring& section, const std::wstring& key, const std::wstring&) {
        const std::wstring ls = mv::ToLower(section), lk = mv::ToLower(key);
        bool known = IsHookSection(ls) && IsHookKey(lk);
        for (const SettingInfo& s : SettingsReference()) {
            if (known) break;
            if (s.place == SettingPlace::KelvorbookIni || mv::ToLower(s.section) != ls) continue;
            known = mv::ToLower(s.key) == lk;
            for (const std::wstring& a : AliasesOf(s)) known = known || mv::ToLower(a) == lk;
        }
        if (!known) unknown.push_back(L"[" + section + L"] " + key);
    });
    return unknown;
}

std::wstring SettingValueIn(const std::wstring& text, const std::wstring& section, const std::wstring& key) {
    std::wstring value;
    bool found = false;
    const std::wstring ls = mv::ToLower(section), lk = mv::ToLower(key);
    ForEachKey(text, [&](const std::wstring& s, const std::wstring& k, const std::wstring& v) {
        if (!found && mv::ToLower(s) == ls && mv::ToLower(k) == lk) {
            found = true;
            value = v;
        }
    });
    // The reader drops one pair of quotes around a value.
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return value;
}

std::vector<std::wstring> StageHookKeys() {
    return std::vector<std::wstring>(std::begin(kStageKeys), std::end(kStageKeys));
}
