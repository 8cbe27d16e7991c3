// Host notification across processes: the sample host program is the receiving window.
#include "notify/host_windows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "app/update_app.h"
#include "mirovane_host.h"
#include "notify/log.h"
#include "sample_host.h"

using testing_support::AppDirScope;
using testing_support::SampleHost;

namespace {

INT_PTR Prop(HWND window, const wchar_t* name) { return reinterpret_cast<INT_PTR>(GetPropW(window, name)); }

bool Has(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The test's temporary directory as the log file holds it: ASCII, the same in every ANSI
// code page.
std::string Ascii(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) {
        EXPECT_LT(static_cast<unsigned>(c), 0x80u) << "not an ASCII path";
        out += static_cast<char>(c);
    }
    return out;
}

void AddRecords(int n) {
    for (int i = 0; i < n; ++i) TheDownLoadList().records.push_back(updatefileinfo{});
}

}  // namespace

TEST(HostWindows, StageAndDescriptionOnlyToWindowsThatAsked) {
    AppDirScope app(L"hosts");
    SampleHost asked, silent(L"--no-needmsg");
    ASSERT_TRUE(asked.window() && silent.window());
    HostWindows::Register(asked.window(), true);
    HostWindows::Register(silent.window(), true);
    HostWindows::Register(asked.window(), true);  // a second registration changes nothing
    AddRecords(2);

    SetStage(UpdateCheckRemoteOk);
    EXPECT_EQ(TheDownLoadList().stage, UpdateCheckRemoteOk);
    for (HWND w : {asked.window(), silent.window()}) {
        EXPECT_EQ(Prop(w, MIROVANE_PROP_STAGE), UpdateCheckRemoteOk);
        EXPECT_EQ(Prop(w, MIROVANE_PROP_FILE_COUNT), 2);
    }
    WriteLog(L"log for " + app.dir() + L"bin\\x.dll");
    SendDescriptionToHosts(L"What is new:\r\nfaster");
    SendDescriptionToHosts(L"");  // nothing to send
    SendStatusText(silent.window(), L"status {zip}{process}for " + app.dir() + L"x", 7);
    SendStatusText(nullptr, L"to nobody", 1);

    const auto& a = asked.Close();
    const auto& s = silent.Close();
    EXPECT_TRUE(Has(a, L"stage 3 UpdateCheckRemoteOk files 2"));
    EXPECT_TRUE(Has(a, L"description What is new:\\r\\nfaster"));
    EXPECT_EQ(std::count_if(a.begin(), a.end(), [](auto& l) { return l.rfind(L"stage ", 0) == 0; }), 1);
    for (const auto* lines : {&a, &s}) EXPECT_TRUE(Has(*lines, L"log log for bin\\x.dll"));
    EXPECT_TRUE(Has(s, L"status 7 status for x"));
    for (const std::wstring& line : s) {
        EXPECT_NE(line.rfind(L"stage ", 0), 0u) << line;
        EXPECT_NE(line.rfind(L"description ", 0), 0u) << line;
    }
    EXPECT_TRUE(Has(a, L"prop mirovane.exe=3"));
    EXPECT_TRUE(Has(s, L"prop updatefilecount=2"));
    // The file keeps the application directory; the hosts never see it.
    EXPECT_NE(app.LogBytes().find("]log for " + Ascii(app.dir()) + "bin\\x.dll\r\n"), std::string::npos);
    for (const auto* lines : {&a, &s})
        for (const std::wstring& line : *lines) EXPECT_EQ(line.find(app.dir()), std::wstring::npos) << line;
}

TEST(HostWindows, LongTextsArriveCutTo1023Characters) {
    AppDirScope app(L"longtext");
    SampleHost host;
    ASSERT_TRUE(host.window());
    HostWindows::Register(host.window(), true);
    std::wstring text;
    std::string bytes;  // the same text as the file must hold it
    for (int i = 0; text.size() < 1500; ++i) {
        char number[8];
        snprintf(number, sizeof(number), "%04d ", i);
        bytes += number;
        text += std::wstring(bytes.end() - 5, bytes.end());
    }
    SendStatusText(host.window(), text, 0);
    WriteLog(text);
    const auto& lines = host.Close();
    EXPECT_TRUE(Has(lines, L"status 0 " + text.substr(0, 1023)));
    EXPECT_TRUE(Has(lines, L"log " + text.substr(0, 1023)));
    EXPECT_NE(app.LogBytes().find(bytes + "\r\n"), std::string::npos);  // the file keeps it whole
}

TEST(HostWindows, WindowWithoutProcessGetsNoTextAddress) {
    AppDirScope app(L"noprocess");
    SampleHost host;
    ASSERT_TRUE(host.window());
    HostWindows::Register(host.window(), false);
    WriteLog(L"hello");
    SetStage(UpdateDownload);
    SendDescriptionToHosts(L"news");
    HostWindows::Unregister(host.window());
    WriteLog(L"after unregister");
    const auto& lines = host.Close();
    EXPECT_TRUE(Has(lines, L"log (not transferred)"));
    EXPECT_TRUE(Has(lines, L"stage 4 UpdateDownload files 0"));
    EXPECT_TRUE(Has(lines, L"description (not transferred)"));
    EXPECT_EQ(std::count(lines.begin(), lines.end(), L"log (not transferred)"), 1);
}

TEST(HostWindows, StageHooksOnlyForNamedStages) {
    AppDirScope app(L"hooks");
    mv::WriteFileBytes(app.dir() + L"hook.bat", "@exit 0\r\n");
    for (const wchar_t* section : {L"UpdateEvent", L"UpdateEventWaitClose"})
        for (int stage = UpdateNone; stage <= UpdateEnd; ++stage)
            WriteSetting(section, UpdateStageName(stage), L"{app}\\hook.bat");
    SampleHost host;
    ASSERT_TRUE(host.window());
    HostWindows::Register(host.window(), true);
    RegisterStageHookRunner();

    SetStage(14);
    SetStage(-1);
    EXPECT_EQ(app.LogBytes().find("Run file"), std::string::npos);
    EXPECT_EQ(TheDownLoadList().stage, -1);
    SetStage(UpdateEnd);
    const std::string log = app.LogBytes();
    size_t first = log.find("]Run file[hook.bat]\r\n");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find("]Run file[hook.bat]\r\n", first + 1), std::string::npos) << "both hooks of the stage run";

    const auto& lines = host.Close();
    EXPECT_TRUE(Has(lines, L"stage 14 - files 0"));
    EXPECT_TRUE(Has(lines, L"stage 13 UpdateEnd files 0"));
    EXPECT_TRUE(Has(lines, L"log Run file[hook.bat]"));
    EXPECT_TRUE(Has(lines, L"prop mirovane.exe=13"));
}

TEST(HostWindows, TextsFromManyThreadsArriveWithTheirOwnMessage) {
    // Every thread writes the window's one transfer buffer: each text must reach the host with
    // the message it was sent with, never another thread's text.
    AppDirScope app(L"threads");
    SampleHost host;
    ASSERT_TRUE(host.window());
    HostWindows::Register(host.window(), true);
    constexpr int kThreads = 4, kEach = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&host, t] {
            for (int i = 0; i < kEach; ++i)
                SendStatusText(host.window(), mv::Format(L"thread %d text %d", t, i), t * 1000 + i);
        });
    for (std::thread& th : threads) th.join();
    const std::vector<std::wstring> lines = host.Lines(L"status ");
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
    for (const std::wstring& line : lines) {
        int number = -1, t = -1, i = -1;
        ASSERT_EQ(swscanf(line.c_str(), L"status %d thread %d text %d", &number, &t, &i), 3) << line;
        EXPECT_EQ(number, t * 1000 + i) << line;
    }
}
