#include "notify/log.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <thread>

#include "../ansi_bytes.h"
#include "sample_host.h"
#include "util/locks.h"

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
    t.wMilliseconds = 5;
    EXPECT_EQ(LogLine(t, L"x", true), L"[2025-12-31 23:59:07.005]x\r\n");
}

TEST(Log, AppendsLinesInAnsiCodePage) {
    AppDirScope app(L"log", L"sub\\\\..\\inst.log");
    mv::CreateDirTree(app.dir() + L"sub");
    WriteLog(L"first");
    WriteLog(L"zweite Zeile: grün, Crème\tmit Tab");
    const std::string stamped = std::regex_replace(app.LogBytes(), std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])"), "[T]");
    const std::string second = AnsiBytes("zweite Zeile: gr\xFCn, Cr\xE8me\tmit Tab",
                                         "zweite Zeile: gr\xA8\xB9n, Cr\xA8\xA8me\tmit Tab");
    EXPECT_EQ(stamped, "[T]first\r\n[T]" + second + "\r\n");
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

namespace {

// WriteLog on a thread of its own, so that a writer that hangs fails the test instead of
// stopping it. The thread owns its text: a hung writer never touches the test's memory.
class LogWriter {
public:
    explicit LogWriter(const std::wstring& text)
        : thread_(CreateThread(nullptr, 0, &LogWriter::Main, new std::wstring(text), 0, nullptr)) {}
    bool DoneWithin(DWORD ms) const { return thread_ && WaitForSingleObject(thread_.get(), ms) == WAIT_OBJECT_0; }

private:
    static DWORD WINAPI Main(void* text) {
        std::unique_ptr<std::wstring> owned(static_cast<std::wstring*>(text));
        WriteLog(*owned);
        return 0;
    }
    mv::Handle thread_;
};

// Well inside the log's own wait for its lock: a writer done by then did not merely time out.
constexpr DWORD kPromptly = 2500;

bool Contains(const std::string& bytes, const char* text) { return bytes.find(text) != std::string::npos; }

}  // namespace

TEST(LogLock, AnObjectPreCreatedUnderTheOldLockNameDoesNotBlock) {
    AppDirScope app(L"logsquat");
    // Any process could create this name and never signal it.
    mv::Handle squatter(CreateEventW(nullptr, TRUE, FALSE, L"Lock786433"));
    ASSERT_TRUE(squatter);
    LogWriter writer(L"after the squatter");
    ASSERT_TRUE(writer.DoneWithin(kPromptly));
    EXPECT_TRUE(Contains(app.LogBytes(), "]after the squatter\r\n"));
}

TEST(LogLock, AWriterKilledWhileHoldingTheLockDoesNotHangTheNext) {
    AppDirScope app(L"logkill");
    const std::wstring held = app.dir() + L"held.txt";
    std::wstring cmd = L"\"" + testing_support::BinDir() + L"coredriver.exe\" holdloglock \"" + held + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi));
    mv::Handle holder(pi.hProcess), holderThread(pi.hThread);
    const ULONGLONG deadline = GetTickCount64() + 20000;
    while (!mv::FileExists(held) && GetTickCount64() < deadline) Sleep(20);
    ASSERT_TRUE(mv::FileExists(held)) << "the holder never took the lock";

    LogWriter writer(L"after the holder died");
    EXPECT_FALSE(writer.DoneWithin(300)) << "the lock must hold while its owner lives";
    TerminateProcess(holder.get(), 1);
    ASSERT_EQ(WaitForSingleObject(holder.get(), 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(writer.DoneWithin(kPromptly));
    EXPECT_TRUE(Contains(app.LogBytes(), "]after the holder died\r\n"));
}

TEST(LogLock, AHolderThatNeverLetsGoDelaysTheWriterOnlyForABoundedTime) {
    AppDirScope app(L"loghold");
    mv::Handle taken(CreateEventW(nullptr, TRUE, FALSE, nullptr)), stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        CrossProcessLock lock(kLogFileLockName, INFINITE);
        SetEvent(taken.get());
        WaitForSingleObject(stop.get(), 60000);
    });
    ASSERT_EQ(WaitForSingleObject(taken.get(), 10000), WAIT_OBJECT_0);
    LogWriter writer(L"written without the lock");
    EXPECT_FALSE(writer.DoneWithin(300)) << "the writer waits for the holder first";
    EXPECT_TRUE(writer.DoneWithin(15000)) << "but not for ever";
    SetEvent(stop.get());
    holder.join();
    EXPECT_TRUE(Contains(app.LogBytes(), "]written without the lock\r\n"));
}

TEST(Log, AppendsPastFourGigabytes) {
    AppDirScope app(L"logbig");
    const std::wstring path = app.dir() + L"inst.log";
    const LONGLONG size = 0x100000000LL + 5;
    {
        mv::Handle f(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(f);
        DWORD put = 0;
        ASSERT_TRUE(WriteFile(f.get(), "head", 4, &put, nullptr));
        LARGE_INTEGER end{};
        end.QuadPart = size;
        ASSERT_TRUE(SetFilePointerEx(f.get(), end, nullptr, FILE_BEGIN) && SetEndOfFile(f.get()));
    }
    WriteLog(L"past four gigabytes");

    mv::Handle f(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(f);
    char head[4] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(f.get(), head, 4, &got, nullptr));
    EXPECT_EQ(std::string(head, got), "head") << "the start of the file was overwritten";
    LARGE_INTEGER now{}, at{};
    ASSERT_TRUE(GetFileSizeEx(f.get(), &now));
    const std::string tail = "]past four gigabytes\r\n";
    ASSERT_GT(now.QuadPart, size);
    at.QuadPart = now.QuadPart - static_cast<LONGLONG>(tail.size());
    ASSERT_TRUE(SetFilePointerEx(f.get(), at, nullptr, FILE_BEGIN));
    std::string read(tail.size(), '\0');
    ASSERT_TRUE(ReadFile(f.get(), read.data(), static_cast<DWORD>(read.size()), &got, nullptr));
    EXPECT_EQ(read, tail);
    EXPECT_EQ(now.QuadPart, size + 20 + static_cast<LONGLONG>(tail.size())) << "one whole line appended";
}
