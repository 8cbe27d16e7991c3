// The tray window's rules, as values in and values out.
#pragma once
#include <string>

#include "check/check_schedule.h"

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
// Seconds the pop-up counts down before it starts the update it offers, from a [Mirovane]
// TrayCountdown text: empty or not a number gives kDefaultCountdownSeconds; the value is held
// to kMinCountdownSeconds..kMaxCountdownSeconds.
constexpr int kDefaultCountdownSeconds = 120;
constexpr int kMinCountdownSeconds = 5;
constexpr int kMaxCountdownSeconds = 3600;
int CountdownSeconds(const std::wstring& setting);

// The tray's check schedule for a CheckTmSpan text, in seconds: the first check after start,
// and the next check after one that ended with `failuresInRow` failed checks in a row (0
// after a success, after an update session and after a postponed offer).
long long FirstCheckDelay(const std::wstring& checkTmSpan, CheckRandom& random);
long long NextCheckDelay(const std::wstring& checkTmSpan, int failuresInRow, CheckRandom& random);
// Failed checks in a row after a check that ended with `succeeded`.
int FailuresAfterCheck(int failuresInRow, bool succeeded);

}  // namespace tray
