// Test support: the sample host program in a process of its own, and a scratch application
// directory with its own settings. Every wait here is bounded.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "../temp_dir.h"
#include "config/global_values.h"
#include "config/settings.h"
#include "notify/host_windows.h"
#include "updatelist/download_list.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

namespace testing_support {

inline std::wstring BinDir() { return mv::PathDir(mv::ModulePath()); }

// A scratch application directory with [Mirovane] Log set; restores the previous state.
class AppDirScope {
public:
    explicit AppDirScope(const wchar_t* tag, const std::wstring& log = L"inst.log")
        : temp_(tag), saved_(GetAppDir()), dir_(temp_.path()) {
        SetAppDir(dir_);
        WriteSetting(L"Mirovane", L"Log", log);
    }
    ~AppDirScope() {
        HostWindows::ReleaseAll();
        TheDownLoadList() = DownLoadList();
        GlobalValues::Clear();
        SetAppDir(saved_);
    }
    const std::wstring& dir() const { return dir_; }
    std::string LogBytes(const wchar_t* name = L"inst.log") const {
        std::string bytes;
        mv::ReadFileBytes(dir_ + name, bytes);
        return bytes;
    }

private:
    TempDir temp_;
    std::wstring saved_;
    std::wstring dir_;
};

// mirovane-sample-host.exe running in its own process; its output is read back on Close().
class SampleHost {
public:
    explicit SampleHost(const std::wstring& options = L"") {
        out_ = outDir_.File(L"out.txt");
        std::wstring cmd = L"\"" + BinDir() + L"mirovane-sample-host.exe\" --timeout 60 --out \"" + out_ + L"\" " + options;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
            return;
        process_.reset(pi.hProcess);
        mv::Handle thread(pi.hThread);
        for (int i = 0; i < 200 && !window_; ++i) {
            std::string bytes;
            mv::ReadFileBytes(out_, bytes);
            if (bytes.rfind("window ", 0) == 0 && bytes.find('\n') != std::string::npos)
                window_ = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::stoul(bytes.substr(7))));
            else
                Sleep(50);
        }
    }
    ~SampleHost() { Close(); }

    HWND window() const { return window_; }

    // Closes the window, waits for the host to end and returns its output lines.
    const std::vector<std::wstring>& Close() {
        if (process_) {
            if (window_) PostMessageW(window_, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(process_.get(), 20000) != WAIT_OBJECT_0) TerminateProcess(process_.get(), 1);
            process_.reset();
            std::string bytes;
            mv::ReadFileBytes(out_, bytes);
            for (const std::wstring& line : mv::Split(mv::FromUtf8(bytes), L'\n'))
                if (!line.empty()) lines_.push_back(line);
        }
        return lines_;
    }

    // Output lines that start with `prefix`.
    std::vector<std::wstring> Lines(const std::wstring& prefix) {
        std::vector<std::wstring> found;
        for (const std::wstring& line : Close())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

private:
    TempDir outDir_{L"host"};
    mv::Handle process_;
    std::wstring out_;
    HWND window_ = nullptr;
    std::vector<std::wstring> lines_;
};

}  // namespace testing_support
