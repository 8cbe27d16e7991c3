// The tray window's rules, as values in and values out.
#pragma once
#include <string>

namespace tray {

// Minutes between background checks for a [Mirovane] CheckTmSpan text: empty, not a
// number, 0 or less give 5; 60 or more give 60.
int CheckIntervalMinutes(const std::wstring& setting);
// The tip of the notification icon: "[" + name + "]\n" + status, or "Update Center" when the
// name is empty; cut to the 127 characters the icon's tip holds.
std::wstring TipText(const std::wstring& name, const std::wstring& status);
// Seconds still shown by a countdown of `total` seconds that started `elapsedMs` ago: never
// below 0, rounded up so that the last second is shown.
int CountdownLeft(int total, unsigned long long elapsedMs);

}  // namespace tray
