#include "notify/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "sample_host.h"

using testing_support::AppDirScope;

TEST(Log, LineFormat) {
    SYSTEMTIME t{};
    t.wYear = 2024;
    t.wMonth = 5;
    t.wDay = 1;
    t.wHour = 8;
    t.wMinute = 30;
    EXPECT_EQ(LogLine(t, L"text"), L"[2024-05-01 08:30:00]text\r\n");
    t.wYear = 2025, t.wMonth = 12, t.wDay = 31, t.wHour = 23, t.wMinute = 59, t.wSecond = 7;
    EXPECT_EQ(LogLine(t, L""), L"[2025-12-31 23:59:07]\r\n");
}

TEST(Log, AppendsLinesInAnsiCodePage) {
    AppDirScope app(L"log", L"sub\\\\..\\inst.log");
    mv::CreateDirTree(app.dir() + L"sub");
    WriteLog(L"first");
    WriteLog(L"zweite Zeile: Grüße\tmit Tab");
    // The expected bytes go through the machine's ANSI code page too, so the test holds on
    // any code page (on 1252 the second line ends in "Gr\xFC\xDF" "e").
    const std::string stamped = std::regex_replace(app.LogBytes(), std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])"), "[T]");
    EXPECT_EQ(stamped, "[T]first\r\n[T]" + mv::ToCodePage(L"zweite Zeile: Grüße\tmit Tab", CP_ACP) + "\r\n");
}

TEST(Log, NoFileWithoutLogSetting) {
    AppDirScope app(L"nolog", L"");
    WriteLog(L"nowhere");
    WIN32_FIND_DATAW data;
    mv::FindHandle find(FindFirstFileW((app.dir() + L"*.*").c_str(), &data));
    int files = 0;
    if (find)
        do files += !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        while (FindNextFileW(find.get(), &data));
    EXPECT_EQ(files, 0);
}

TEST(Log, ConcurrentWritersProduceWholeLines) {
    AppDirScope app(L"logthreads");
    constexpr int kThreads = 8, kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) WriteLog(mv::Format(L"thread %d line %d ", t, i) + std::wstring(60, L'x'));
        });
    for (auto& th : threads) th.join();

    const std::string bytes = app.LogBytes();
    std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]thread (\d) line (\d+) x{60})");
    std::vector<int> next(kThreads, 0);
    size_t pos = 0, count = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos) << "unterminated tail";
        std::smatch m;
        const std::string text = bytes.substr(pos, end - pos);
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        const int t = std::stoi(m[1]);
        EXPECT_EQ(std::stoi(m[2]), next[t]++) << "lines of one thread out of order";
        ++count;
        pos = end + 2;
    }
    EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}
