#include "app/command_line.h"

#include <gtest/gtest.h>

#include "app/update_app.h"
#include "updatelist/download_list.h"

TEST(CommandLine, ArgumentsAfterProgramName) {
    EXPECT_EQ(ArgumentsOf(L"\"C:\\a b\\mirovane.exe\" /silence"), L" /silence");
    EXPECT_EQ(ArgumentsOf(L"C:\\a\\mirovane.exe /icon 123"), L" /icon 123");
    EXPECT_EQ(ArgumentsOf(L"mirovane.exe"), L"");
}

TEST(CommandLine, CleaningLowersStripsQuotesAndOwnPath) {
    const std::wstring own = L"C:\\Brenwick\\omra\\\\Demo\\mirovane.exe";
    EXPECT_EQ(CleanCommandLine(L"  /SILENCE \"c:\\brenwick\\omra\\demo\\mirovane.exe\" /123 ", own), L"/silence  /123");
    EXPECT_EQ(CleanCommandLine(L"", own), L"");
}

TEST(CommandLine, ModeWordsLastOneWins) {
    struct Case {
        std::wstring start, cmd, mode;
    } cases[] = {
        {L"", L"/silence /123456", L"silence"},
        {L"", L"/icon", L"tryicon"},
        {L"", L"-showwhenhaveupdate", L"showwhenupdate"},
        {L"", L"/silence /emptytemp", L"emptytemp"},
        {L"", L"tryicon,uninstall", L"uninstall"},
        {L"AppEnterNoPrompt", L"", L"appenternoprompt"},
        {L"AppEnterNoPrompt", L"/mostsimple", L"mostsimple"},
        {L" Silence ", L"/notamode /silencex", L"silence"},
        {L"", L"/checkforupdates/downparam1", L"downparam1"},
        {L"", L"/appenter", L"appenter"},
    };
    for (const auto& c : cases) EXPECT_EQ(PickRunMode(c.start, CommandWords(c.cmd)), c.mode) << c.cmd;
}

TEST(CommandLine, HostWindowIsLastLiveHandle) {
    auto live = [](HWND h) { return h == reinterpret_cast<HWND>(123456) || h == reinterpret_cast<HWND>(77); };
    EXPECT_EQ(FindHostWindow(CommandWords(L"/silence /123456"), live), reinterpret_cast<HWND>(123456));
    EXPECT_EQ(FindHostWindow(CommandWords(L"/77 /123456 /999"), live), reinterpret_cast<HWND>(123456));
    EXPECT_EQ(FindHostWindow(CommandWords(L"/999 /12x /0x4d /99999999999999"), live), nullptr);
}

TEST(CommandLine, DotNetSwitchOnlyPastFirstPosition) {
    EXPECT_EQ(FindDotNetSwitch(L"/dotnet20"), L"2.0");
    EXPECT_EQ(FindDotNetSwitch(L"dotnet20"), L"");
    EXPECT_EQ(FindDotNetSwitch(L"dotnet20 /dotnet40"), L"4.0");
    EXPECT_EQ(FindDotNetSwitch(L"/dotnet40 /dotnet11"), L"1.1");  // checked in version order
    EXPECT_EQ(FindDotNetSwitch(L"/silence"), L"");
    EXPECT_TRUE(HasRelaunchMarker(L"/___runas_admin___"));
    EXPECT_FALSE(HasRelaunchMarker(L"/runas_admin"));
}

TEST(CommandLine, UsageRequest) {
    struct Case {
        const wchar_t* args;
        bool usage;
    } cases[] = {
        {L" /?", true},          {L" --help", true},         {L" -?", true},
        {L" /HELP", true},       {L" /silence /? ", true},   {L" \"/?\"", true},
        {L"\t--help", true},     {L"", false},               {L" /silence /123", false},
        {L" /helpme", false},    {L" help", false},          {L" ---help", false},
        {L" /?x", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsUsageRequest(c.args), c.usage) << c.args;
    // The usage names every mode word the command line knows.
    const std::wstring usage = UsageText();
    for (const wchar_t* word : {L"silence", L"appenter", L"appenternoprompt", L"checkforupdates", L"showwhenupdate",
                                L"showwhenhaveupdate", L"icon", L"tryicon", L"mostsimple", L"uninstall", L"emptytemp"}) {
        const std::wstring w = std::wstring(L"/") + word;
        EXPECT_TRUE(usage.find(w + L" ") != std::wstring::npos || usage.find(w + L")") != std::wstring::npos) << word;
        EXPECT_NE(PickRunMode(L"", {word}), L"") << word;
    }
}

TEST(EmbeddedSetting, ValueAfterSectionAndKey) {
    const std::wstring text = L"[Mirovane]\r\nName=wrong\r\n[APPLICATION]\r\nApplication=a.exe\r\nName=Demo App\r\nVer=1\r\n";
    EXPECT_EQ(ReadEmbeddedSetting(text, L"[APPLICATION]", L"Name"), L"Demo App");
    EXPECT_EQ(ReadEmbeddedSetting(text, L"[APPLICATION]", L"Ver"), L"1");
    EXPECT_EQ(ReadEmbeddedSetting(L"[APPLICATION]\r\nName=Last", L"[APPLICATION]", L"Name"), L"Last");
    EXPECT_EQ(ReadEmbeddedSetting(L"[APPLICATION]\nName=Lf\n", L"[APPLICATION]", L"Name"), L"Lf");
    EXPECT_EQ(ReadEmbeddedSetting(L"[APPLICATION]\r\nName=\r\n", L"[APPLICATION]", L"Name"), L"");
    EXPECT_EQ(ReadEmbeddedSetting(text, L"[UPDATEINFO]", L"Name"), L"");
    EXPECT_EQ(ReadEmbeddedSetting(text, L"[APPLICATION]", L"Missing"), L"");
    EXPECT_EQ(ReadEmbeddedSetting(L"", L"[APPLICATION]", L"Name"), L"");
}

TEST(ExitCode, FilesThenVersionThenZero) {
    EXPECT_EQ(ComputeExitCode(3, L"", L"1.0"), 3);
    EXPECT_EQ(ComputeExitCode(3, L"2.0", L"1.0"), 3);
    EXPECT_EQ(ComputeExitCode(0, L"2.0", L"1.0"), 2147483647);
    EXPECT_EQ(ComputeExitCode(0, L"1.0", L"1.0"), 0);
    EXPECT_EQ(ComputeExitCode(0, L"", L"1.0"), 0);
}

TEST(ExitCode, OutcomeOfARun) {
    // What a script reads from the detailed exit code, and the run's last log line.
    struct Case {
        int reached, files, refused, failed;
        const wchar_t* remoteVersion;
        bool handedOver, busy;
        int code;
        const wchar_t* text;
    } cases[] = {
        {UpdateCopyOk, 2, 0, 0, L"", false, false, OutcomeInstalled, L"installed 2 of 2 files"},
        {UpdateCopyOk, 2, 1, 0, L"", false, false, OutcomePartly, L"installed 2 of 3 files, 1 refused"},
        {UpdateCheckRemoteOk, 0, 0, 0, L"", false, false, OutcomeNothingToUpdate, L"nothing to update"},
        {UpdateCheckRemoteOk, 0, 0, 0, L"1.0", false, false, OutcomeNothingToUpdate, L"nothing to update"},
        {UpdateCheckRemoteOk, 0, 0, 0, L"2.0", false, false, OutcomeFound, L"0 files to update, not installed"},
        {UpdateCheckRemoteOk, 0, 1, 0, L"", false, false, OutcomePartly, L"nothing to update, 1 refused"},
        {UpdateCheckRemoteOk, 3, 0, 0, L"", false, false, OutcomeFound, L"3 files to update, not installed"},
        {UpdateCheckRemoteError, 0, 0, 0, L"", false, false, OutcomeCheckFailed, nullptr},
        {UpdateDownloadError, 2, 0, 1, L"", false, false, OutcomeDownloadFailed,
         L"failed at the download: 1 of 2 files not downloaded, nothing installed"},
        {UpdateCheckLocalError, 2, 0, 0, L"", false, false, OutcomeLocalCheckFailed, nullptr},
        {UpdateCheckLocalError, 2, 0, 0, L"", true, false, OutcomeHandedOver, nullptr},
        {UpdateCopyError, 2, 0, 0, L"", false, false, OutcomeInstallFailed, nullptr},
        {UpdateCheckRemoteError, 0, 0, 0, L"", false, true, OutcomeBusy, nullptr},
        {UpdateNone, 0, 0, 0, L"", false, false, OutcomeNothingToUpdate, L"no check ran"},
    };
    for (const Case& c : cases) {
        RunFacts f;
        f.reached = c.reached;
        f.files = c.files;
        f.refused = c.refused;
        f.failedDownloads = c.failed;
        f.remoteVersion = c.remoteVersion;
        f.installedVersion = L"1.0";
        f.handedOver = c.handedOver;
        f.busy = c.busy;
        const RunOutcome o = DescribeRun(f);
        EXPECT_EQ(o.code, c.code) << c.reached << " " << c.files;
        if (c.text) {
            EXPECT_EQ(o.text, c.text) << c.reached;
        }
        EXPECT_FALSE(o.text.empty());
    }
    // A lock somebody else made is the same outcome, told apart in the text.
    RunFacts f;
    f.reached = UpdateCheckRemoteError;
    f.busy = f.lockRefused = true;
    const RunOutcome o = DescribeRun(f);
    EXPECT_EQ(o.code, OutcomeBusy);
    EXPECT_EQ(o.text, L"nothing done, the install lock of this application was made by someone else");
}

TEST(AppDir, UnderWindowsDrive) {
    EXPECT_EQ(AppDirFor(L"C:\\windows", L"Mirovane Demo"), L"C:\\Brenwick\\omra\\Mirovane Demo\\");
    EXPECT_EQ(AppDirFor(L"D:\\WINNT", L"Demo\\ZR_42"), L"D:\\Brenwick\\omra\\Demo\\ZR_42\\");
    EXPECT_EQ(AppDirFor(L"C:\\windows", L""), L"C:\\Brenwick\\omra\\");
}
