#include "app/command_line.h"

#include "updatelist/download_list.h"

#include "util/text.h"

std::wstring ArgumentsOf(const std::wstring& full) {
    size_t i = 0;
    while (i < full.size() && (full[i] == L' ' || full[i] == L'\t')) ++i;
    if (i < full.size() && full[i] == L'"') {
        size_t close = full.find(L'"', i + 1);
        i = close == std::wstring::npos ? full.size() : close + 1;
    } else {
        while (i < full.size() && full[i] != L' ' && full[i] != L'\t') ++i;
    }
    return full.substr(i);
}

std::wstring CleanCommandLine(const std::wstring& args, const std::wstring& ownPath) {
    std::wstring s = mv::RemoveAll(mv::ToLower(args), L"\"");
    std::wstring own = mv::ToLower(mv::ReduceBackslashes(ownPath));
    if (!own.empty()) s = mv::RemoveAll(s, own);
    return mv::Trim(s);
}

std::vector<std::wstring> CommandWords(const std::wstring& cleaned) {
    std::wstring w = cleaned;
    for (auto& c : w)
        if (c == L'-' || c == L'/' || c == L' ') c = L',';
    return mv::Split(w, L',');
}

std::wstring PickRunMode(const std::wstring& startMode, const std::vector<std::wstring>& words) {
    static const struct { const wchar_t* word; const wchar_t* mode; } kModes[] = {
        {L"mostsimple", L"mostsimple"},     {L"showwhenhaveupdate", L"showwhenupdate"},
        {L"showwhenupdate", L"showwhenupdate"}, {L"tryicon", L"tryicon"},
        {L"icon", L"tryicon"},              {L"emptytemp", L"emptytemp"},
        {L"uninstall", L"uninstall"},       {L"silence", L"silence"},
        {L"appenter", L"appenter"},         {L"appenternoprompt", L"appenternoprompt"},
        {L"downparam0", L"downparam0"},     {L"downparam1", L"downparam1"},
        {L"checkforupdates", L"checkforupdates"},
    };
    std::wstring mode = startMode;
    for (const auto& w : words)
        for (const auto& m : kModes)
            if (w == m.word) mode = m.mode;
    return mv::Trim(mv::ToLower(mode));
}

HWND FindHostWindow(const std::vector<std::wstring>& words, const std::function<bool(HWND)>& isWindow) {
    HWND found = nullptr;
    for (const auto& w : words) {
        if (w.empty() || w.size() > 10 || w.find_first_not_of(L"0123456789") != std::wstring::npos) continue;
        unsigned long long v = std::wcstoull(w.c_str(), nullptr, 10);
        if (v == 0 || v > 0xFFFFFFFFull) continue;
        HWND h = reinterpret_cast<HWND>(static_cast<UINT_PTR>(v));
        if (isWindow(h)) found = h;
    }
    return found;
}

std::wstring FindDotNetSwitch(const std::wstring& cleaned) {
    static const struct { const wchar_t* text; const wchar_t* version; } kSwitches[] = {
        {L"dotnet10", L"1.0"}, {L"dotnet11", L"1.1"}, {L"dotnet20", L"2.0"},
        {L"dotnet30", L"3.0"}, {L"dotnet35", L"3.5"}, {L"dotnet40", L"4.0"},
    };
    // Counted only past position 0: it is normally written after "/" or "-".
    for (const auto& s : kSwitches) {
        size_t pos = cleaned.find(s.text);
        if (pos != std::wstring::npos && pos > 0) return s.version;
    }
    return {};
}

bool HasRelaunchMarker(const std::wstring& cleaned) { return cleaned.find(L"___runas_admin___") != std::wstring::npos; }

bool IsUsageRequest(const std::wstring& args) {
    std::wstring a = mv::ToLower(args);
    for (auto& c : a)
        if (c == L'\t' || c == L'"') c = L' ';
    for (const std::wstring& word : mv::Split(a, L' '))
        if (word == L"/?" || word == L"-?" || word == L"--help" || word == L"-help" || word == L"/help") return true;
    return false;
}

std::wstring UsageText() {
    return L"Usage: mirovane.exe [/mode] [/<window handle>] [/dotnetNN]\r\n"
           L"\r\n"
           L"Modes (the last mode word wins; without one, [Mirovane] Mode of the settings):\r\n"
           L"  /silence            check, download and install without a window; asks only before\r\n"
           L"                      closing the running host program\r\n"
           L"  /appenter           check, offer the update found, then update ([APPLICATION]\r\n"
           L"                      Application must be set)\r\n"
           L"  /appenternoprompt   the same without the offer\r\n"
           L"  /checkforupdates    check only\r\n"
           L"  /showwhenupdate     check, and open the update window only when there is an update\r\n"
           L"                      (also /showwhenhaveupdate)\r\n"
           L"  /icon               an icon in the notification area that checks every [Mirovane]\r\n"
           L"                      CheckTmSpan minutes (also /tryicon)\r\n"
           L"  /mostsimple         the update window (also what an empty mode opens)\r\n"
           L"  /uninstall          remove the files the installed list names, the log and the list\r\n"
           L"  /emptytemp          remove the cached lists\r\n"
           L"\r\n"
           L"Switches:\r\n"
           L"  /<window handle>    decimal handle of a host program window that receives the stages\r\n"
           L"                      and log lines (set its property mirovane.needmsg to 1974)\r\n"
           L"  /dotnet20 ... /dotnet40   check for that .NET Framework version only, and offer it\r\n"
           L"  /? or --help        this text; nothing else is done\r\n"
           L"\r\n"
           L"Words may start with \"/\" or \"-\", e.g.: mirovane.exe /silence /1312578\r\n"
           L"The exit code is the number of files that needed updating (2147483647 when only the\r\n"
           L"version text changed, 0 when nothing did, -1 after an unexpected failure); with\r\n"
           L"[Mirovane] DetailedExitCode=1 it tells the outcome: 0 nothing to update, 1 found but not\r\n"
           L"installed, 2 installed, 3 continued as administrator, 4 installed with refused records,\r\n"
           L"10 check failed, 11 download failed, 12 stopped before the install, 13 install failed,\r\n"
           L"14 another update was running. The log's last line names the outcome.\r\n"
           L"Settings and the application directory: see the README that came with the updater.\r\n";
}

std::wstring ReadEmbeddedSetting(const std::wstring& text, const std::wstring& section, const std::wstring& key) {
    size_t s = text.find(section);
    if (s == std::wstring::npos) return {};
    size_t k = text.find(key, s);
    if (k == std::wstring::npos) return {};
    size_t eq = text.find(L'=', k);
    if (eq == std::wstring::npos) return {};
    size_t lf = text.find(L'\n', eq);
    if (lf == std::wstring::npos) return text.substr(eq + 1);
    // The CR of a CR LF line end is not part of the value.
    size_t end = (lf > eq + 1 && text[lf - 1] == L'\r') ? lf - 1 : lf;
    return text.substr(eq + 1, end - (eq + 1));
}

int ComputeExitCode(int fileCount, const std::wstring& remoteVersion, const std::wstring& installedVersion) {
    if (fileCount != 0) return fileCount;
    if (!remoteVersion.empty() && remoteVersion != installedVersion) return 0x7FFFFFFF;
    return 0;
}

RunOutcome DescribeRun(const RunFacts& f) {
    const int total = f.files + f.refused;
    const std::wstring refused = f.refused ? mv::Format(L", %d refused", f.refused) : std::wstring();
    if (f.busy && f.lockRefused)
        return {OutcomeBusy, L"nothing done, the install lock of this application was made by someone else"};
    if (f.busy) return {OutcomeBusy, L"nothing done, another update of this application is running"};
    if (f.handedOver) return {OutcomeHandedOver, L"continued by an elevated copy"};
    switch (f.reached) {
        case UpdateNone:
        case UpdateCheckRemote:
            return {OutcomeNothingToUpdate, L"no check ran"};
        case UpdateCheckRemoteError:
            return {OutcomeCheckFailed, L"failed at the check: the list could not be fetched, read or trusted"};
        case UpdateCheckRemoteOk:
            if (f.files == 0 && (f.remoteVersion.empty() || f.remoteVersion == f.installedVersion))
                return {f.refused ? OutcomePartly : OutcomeNothingToUpdate, L"nothing to update" + refused};
            return {OutcomeFound, mv::Format(L"%d files to update, not installed", f.files) + refused};
        case UpdateDownload:
        case UpdateDownloadError:
            return {OutcomeDownloadFailed, mv::Format(L"failed at the download: %d of %d files not downloaded, nothing installed",
                                                      f.failedDownloads, f.files)};
        case UpdateDownloadOk:
        case UpdateCheckLocal:
        case UpdateCheckLocalError:
            return {OutcomeLocalCheckFailed, L"stopped before the install (the program still runs or files are locked), nothing installed"};
        case UpdateCheckLocalOk:
        case UpdateCopy:
        case UpdateCopyError:
            return {OutcomeInstallFailed, L"failed at the install, the installed files are unchanged"};
        default:
            return {f.refused ? OutcomePartly : OutcomeInstalled, mv::Format(L"installed %d of %d files", f.files, total) + refused};
    }
}
