#include "ui/progress_rules.h"

#include <algorithm>
#include <cwchar>

namespace progress {

std::optional<double> FromDownload(long fileSize, long bytesDone, long filesDone, long filesTotal) {
    if (fileSize <= 0 || filesTotal <= 0) return std::nullopt;
    const double share = std::clamp(static_cast<double>(bytesDone) / static_cast<double>(fileSize), 0.0, 1.0);
    const double done = std::clamp(static_cast<double>(filesDone), 0.0, static_cast<double>(filesTotal));
    const double p = (share / filesTotal + done / filesTotal) * 90.0 + 10.0;
    return std::clamp(p, 10.0, 99.0);
}

std::optional<int> SecondsRemaining(double percent, int elapsedSeconds) {
    if (elapsedSeconds <= 0 || percent <= 0) return std::nullopt;
    return static_cast<int>((100.0 - percent) / (percent / elapsedSeconds));
}

int NextTheme(int theme) { return theme >= 5 || theme < 1 ? 1 : theme + 1; }

COLORREF ThemeBackground(int theme) {
    static const COLORREF back[] = {0xF5F5F5, 0x9E6202, 0x296999, 0x01926B, 0xAE486B, 0x738798};
    return back[theme >= 0 && theme <= 5 ? theme : 0];
}

COLORREF ThemeButton(int theme) {
    static const COLORREF button[] = {0xEBD5B4, 0xB0CBDF, 0x96DAC9, 0xE5C7D4, 0xE6E6E6, 0xEBD5B4};
    return button[theme >= 0 && theme <= 5 ? theme : 0];
}

std::wstring StatusLine(double percent) {
    if (percent >= 100) return L"题库文件下载完成100%，即将打开...";
    wchar_t buf[128];
    swprintf(buf, 128, L"正在下载题库文件，请稍候... %d%%                    ", static_cast<int>(percent));
    return buf;
}

}  // namespace progress
