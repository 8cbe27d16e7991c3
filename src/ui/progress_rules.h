// The arithmetic of the progress window, as values in and values out.
#pragma once
#include <windows.h>

#include <optional>
#include <string>

namespace progress {

// Overall progress for a download report: 10 + 90 * (files done + share of the current file)
// / files to update, the share clamped to [0, 1] and the result to [10, 99] (100 belongs to
// the end stages). Nothing while the file size or the number of files is still 0.
std::optional<double> FromDownload(long fileSize, long bytesDone, long filesDone, long filesTotal);
// Seconds left at this pace, truncated; nothing before the first second or any progress.
std::optional<int> SecondsRemaining(double percent, int elapsedSeconds);
// The theme after `theme` on a 3-second tick: 1..5, then 1 again.
int NextTheme(int theme);
// Window background and button colour of a theme (0: the starting grey, no button colour).
COLORREF ThemeBackground(int theme);
COLORREF ThemeButton(int theme);
// The status line for a progress value (truncated to an integer).
std::wstring StatusLine(double percent);

}  // namespace progress
