// The progress window with steps of the test's own: what it runs, what it shows, and that
// nothing but its worker's end closes it.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "notify/host_windows.h"
#include "resources/resource_ids.h"
#include "ui/dlg_most_simple.h"
#include "ui/progress_rules.h"
#include "ui/tray_rules.h"
#include "ui/updater_windows.h"
#include "updatelist/download_list.h"
#include "util/handle.h"

namespace {

struct Recorder {
    std::vector<std::string> calls;
    std::atomic<int> barAfterProgress{-1};
    std::wstring statusAtEnd;
    void Add(const char* c) { calls.push_back(c); }
};

void ResetList() {
    RemoveAllRecords(TheDownLoadList().records);
    TheDownLoadList().stage = UpdateNone;
}

void AddFile() {
    updatefileinfo r;
    r.path = L"readme.txt";
    TheDownLoadList().records.push_back(r);
}

HWND ProgressWindow() { return FindWindowW(mv::CDlgMostSimple::kClassName, nullptr); }

std::wstring Text(HWND w) {
    wchar_t buf[256] = {};
    GetWindowTextW(w, buf, 256);
    return buf;
}

// A whole session in the product's order with steps that report like the real ones do.
struct FakeSession {
    Recorder& rec;
    HANDLE checkRunning, release;
    int downloadPasses = 0;
    bool downloadFails = false;

    SessionEnd Run(HWND host, SessionObserver& observer) {
        SessionSteps s;
        s.hold = [] { return true; };
        s.release = [] {};
        s.gate = [] { return true; };
        s.relaunch = [] { return false; };
        s.check = [this](SessionObserver&) {
            rec.Add("check");
            SetStage(UpdateCheckRemote);
            AddFile();
            SetStage(UpdateCheckRemoteOk);
            if (checkRunning) SetEvent(checkRunning);
            if (release) WaitForSingleObject(release, 20000);
            return StepResult{UpdateCheckRemoteOk, 1};
        };
        s.download = [this](SessionObserver& o) {
            ++downloadPasses;
            SetStage(UpdateDownload);
            if (downloadFails) {
                SetStage(UpdateDownloadError);
                return StepResult{UpdateDownloadError, downloadPasses < 3 ? 1 : 0};  // the third finishes nothing
            }
            rec.Add("download");
            HWND w = o.StatusWindow();
            SendMessageW(w, 1976, 0, 1);       // none of one file done
            SendMessageW(w, 1978, 1000, 500);  // half of it
            rec.barAfterProgress = static_cast<int>(SendMessageW(GetDlgItem(w, MV_IDC_PROGRESS), PBM_GETPOS, 0, 0));
            SetStage(UpdateDownloadOk);
            return StepResult{UpdateDownloadOk, 1};
        };
        s.checkLocal = [this](SessionObserver&) {
            rec.Add("local");
            SetStage(UpdateCheckLocalOk);
            return StepResult{UpdateCheckLocalOk, 0};
        };
        s.copy = [this](SessionObserver&) {
            rec.Add("copy");
            SetStage(UpdateCopyOk);
            return StepResult{UpdateCopyOk, 0};
        };
        s.end = [this, &observer] {
            rec.Add("end");
            rec.statusAtEnd = Text(GetDlgItem(observer.StatusWindow(), MV_IDC_STATUS));
        };
        (void)host;
        return RunSession(SessionStartOf(TheDownLoadList()), s, observer);
    }
};

WindowActions SessionActions(FakeSession& f) {
    WindowActions a;
    a.runSession = [&f](HWND host, SessionObserver& o) { return f.Run(host, o); };
    return a;
}

}  // namespace

TEST(ProgressWindow, UpdateRunsEveryStepAndIgnoresEscEnterAltF4) {
    ResetList();
    Recorder rec;
    mv::Handle running(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> openAfterKeys{false};
    std::thread person([&] {
        if (WaitForSingleObject(running.get(), 20000) != WAIT_OBJECT_0) return;
        HWND w = ProgressWindow();
        const UINT f4 = MapVirtualKeyW(VK_F4, 0);
        PostMessageW(w, WM_KEYDOWN, VK_ESCAPE, 1);
        PostMessageW(w, WM_KEYDOWN, VK_RETURN, 1);
        PostMessageW(w, WM_SYSKEYDOWN, VK_F4, 1 | (f4 << 16) | (1u << 29));
        PostMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0);
        PostMessageW(w, WM_CLOSE, 0, 0);
        PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
        // Everything posted so far is handled before this returns.
        SendMessageTimeoutW(w, WM_NULL, 0, 0, SMTO_BLOCK, 5000, nullptr);
        openAfterKeys = IsWindow(w) && IsWindowVisible(w);
        SetEvent(release.get());
    });
    FakeSession session{rec, running.get(), release.get()};
    const WindowOutcome outcome = ShowMostSimpleWindow(MostSimpleUpdate, nullptr, SessionActions(session));
    EXPECT_EQ(outcome.end, SessionEnd::Finished);
    EXPECT_TRUE(outcome.installed);
    person.join();
    EXPECT_TRUE(openAfterKeys);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"check", "download", "local", "copy", "end"}));
    EXPECT_EQ(rec.barAfterProgress, 55);  // 10 + (0.5 + 0) * 90
    EXPECT_EQ(rec.statusAtEnd, L"题库文件下载完成100%，即将打开...");
    EXPECT_FALSE(ProgressWindow());
    for (const HostWindows::Entry& e : HostWindows::Snapshot()) EXPECT_FALSE(IsWindow(e.window) == FALSE) << "stale";
}

TEST(ProgressWindow, FailedStepEndsTheSessionThroughTheEndSequence) {
    ResetList();
    Recorder rec;
    FakeSession session{rec, nullptr, nullptr};
    session.downloadFails = true;
    EXPECT_FALSE(ShowMostSimpleWindow(MostSimpleUpdate, nullptr, SessionActions(session)).installed);
    EXPECT_EQ(session.downloadPasses, 3);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"check", "end"}));
    EXPECT_NE(rec.statusAtEnd, L"题库文件下载完成100%，即将打开...");
}

TEST(ProgressWindow, CheckKindsCloseAfterTheCheckAndAppEnterOffers) {
    struct Case {
        MostSimpleKind kind;
        bool elevation;
        std::vector<std::string> calls;
        SessionEnd end;
    } cases[] = {
        {MostSimpleCheck, false, {"startcheck"}, SessionEnd::Finished},
        {MostSimpleAppEnter, false, {"startcheck", "offer"}, SessionEnd::Finished},
        {MostSimpleCheck, true, {"startcheck", "relaunch"}, SessionEnd::Relaunched},
    };
    for (const Case& c : cases) {
        ResetList();
        Recorder rec;
        WindowActions a;
        a.startRemoteCheck = [&](HWND) {
            rec.Add("startcheck");
            SetStage(UpdateCheckRemoteOk);
        };
        a.offerUpdate = [&] {
            rec.Add("offer");
            return true;
        };
        a.elevationPending = [&] { return c.elevation; };
        a.relaunchElevated = [&] {
            rec.Add("relaunch");
            return true;
        };
        EXPECT_EQ(ShowMostSimpleWindow(c.kind, nullptr, a).end, c.end) << c.kind;
        EXPECT_EQ(rec.calls, c.calls) << c.kind << " " << c.elevation;
    }
}

TEST(ProgressRules, DownloadProgress) {
    struct {
        long size, done, filesDone, filesTotal;
        double want;  // -1: ignored
    } cases[] = {
        {1000, 500, 1, 2, 77.5},      // half of the second of two files
        {1000, 0, 0, 1, 10},          // just started
        {1000, 1000, 1, 1, 99},       // 100 belongs to the end stages
        {1000, 5000, 0, 2, 55},       // a report past the size counts as the whole file
        {1000, -5, 0, 2, 10},
        {1000, 500, 7, 2, 99},        // more files done than announced
        {1000, 500, 0, 0, -1},        // the list download, before any count
        {0, 0, 0, 3, -1},             // size not known yet
    };
    for (auto& c : cases) {
        const auto p = progress::FromDownload(c.size, c.done, c.filesDone, c.filesTotal);
        if (c.want < 0) {
            EXPECT_FALSE(p) << c.size << " " << c.filesTotal;
        } else {
            ASSERT_TRUE(p) << c.size;
            EXPECT_DOUBLE_EQ(*p, c.want) << c.size << " " << c.done << " " << c.filesDone << "/" << c.filesTotal;
        }
    }
    EXPECT_EQ(progress::StatusLine(77.5), L"正在下载题库文件，请稍候... 77%                    ");
    EXPECT_EQ(progress::StatusLine(100), L"题库文件下载完成100%，即将打开...");
    EXPECT_EQ(progress::SecondsRemaining(25, 5), 15);
    EXPECT_FALSE(progress::SecondsRemaining(25, 0));
    EXPECT_EQ(progress::NextTheme(0), 1);
    EXPECT_EQ(progress::NextTheme(4), 5);
    EXPECT_EQ(progress::NextTheme(5), 1);
    EXPECT_EQ(progress::ThemeBackground(3), 0x01926Bu);
}

TEST(TrayRules, IntervalTipAndCountdown) {
    struct {
        const wchar_t* setting;
        int minutes;
    } spans[] = {{L"", 5}, {L"0", 5}, {L"-3", 5}, {L"abc", 5}, {L"1", 1}, {L" 30", 30}, {L"59", 59}, {L"60", 60}, {L"90", 60}};
    for (auto& s : spans) EXPECT_EQ(tray::CheckIntervalMinutes(s.setting), s.minutes) << s.setting;
    EXPECT_EQ(tray::TipText(L"", L"Find nothing to update."), L"Update Center");
    EXPECT_EQ(tray::TipText(L"Editor", L"Check update files"), L"[Editor]\nCheck update files");
    EXPECT_EQ(tray::TipText(std::wstring(200, L'n'), L"x").size(), 127u);
    struct {
        unsigned long long elapsed;
        int left;
    } counts[] = {{0, 120}, {1, 120}, {999, 120}, {1000, 119}, {119001, 1}, {120000, 0}, {500000, 0}};
    for (auto& c : counts) EXPECT_EQ(tray::CountdownLeft(120, c.elapsed), c.left) << c.elapsed;
    struct {
        const wchar_t* setting;
        int seconds;
    } lengths[] = {{L"", 120}, {L"abc", 120}, {L" 30", 30}, {L"5", 5}, {L"4", 5}, {L"0", 5}, {L"-7", 5},
                   {L"3600", 3600}, {L"3601", 3600}, {L"99999999999", 3600}};
    for (auto& l : lengths) EXPECT_EQ(tray::CountdownSeconds(l.setting), l.seconds) << l.setting;
}

TEST(TrayRules, CheckScheduleSpreadsEveryCheckAndBacksOffAfterFailures) {
    // The tray's delays for a CheckTmSpan text: [base, base + spread] with a seeded source.
    struct {
        const wchar_t* setting;
        int failures;  // -1: the first check after start
        long long base, spread;
    } cases[] = {
        {L"", -1, 0, 30},      {L"5", -1, 0, 30},      {L"90", -1, 0, 360},   {L"1", -1, 0, 6},
        {L"5", 0, 300, 30},    {L"5", 1, 60, 30},      {L"5", 2, 120, 30},    {L"5", 3, 240, 30},
        {L"5", 4, 300, 30},    {L"5", 30, 300, 30},    {L"60", 6, 1920, 360}, {L"60", 7, 3600, 360},
        {L"1", 1, 60, 6},      {L"0", 0, 300, 30},
    };
    for (auto& c : cases) {
        CheckRandom random(99), same(99);
        long long low = 1LL << 40, high = -1;
        for (int i = 0; i < 5000; ++i) {
            const long long d = c.failures < 0 ? tray::FirstCheckDelay(c.setting, random)
                                               : tray::NextCheckDelay(c.setting, c.failures, random);
            low = std::min(low, d);
            high = std::max(high, d);
        }
        EXPECT_EQ(low, c.base) << c.setting << " " << c.failures;
        EXPECT_EQ(high, c.base + c.spread) << c.setting << " " << c.failures;
        // The spread is one draw from the caller's source: the same seed gives the same delay.
        CheckRandom again(99);
        const long long spread = std::uniform_int_distribution<long long>(0, c.spread)(again);
        EXPECT_EQ(c.failures < 0 ? tray::FirstCheckDelay(c.setting, same) : tray::NextCheckDelay(c.setting, c.failures, same),
                  c.base + spread)
            << c.setting << " " << c.failures;
    }
    // A success resets the count; failures count up and stop growing once the back-off is capped.
    EXPECT_EQ(tray::FailuresAfterCheck(3, true), 0);
    EXPECT_EQ(tray::FailuresAfterCheck(0, false), 1);
    EXPECT_EQ(tray::FailuresAfterCheck(2, false), 3);
    EXPECT_EQ(tray::FailuresAfterCheck(30, false), 30);
}
