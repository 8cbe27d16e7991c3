// Continuing the update in an elevated copy of the program. The two copies share nothing but
// the saved download list ("<list cache>.lst") and the command line with the marker.
#pragma once
#include <string>

// The marker argument that tells the new copy it was relaunched.
inline constexpr wchar_t kRelaunchMarker[] = L"___runas_admin___";

// Parameters of the elevated copy: the cleaned command line followed by " /" and the marker,
// or "/" and the marker alone.
std::wstring RelaunchParameters(const std::wstring& commandLine);

// Deletes a left-over saved list, saves the download list when `saveList` is set, and starts
// this program again with the "runas" verb; the caller ends this copy afterwards. False, with
// the saved list deleted and the failure logged, when the list could not be saved or the new
// copy could not be started (the user refused the elevation, for example).
bool RelaunchAsAdministrator(bool saveList);

// The settings writer's prompt when mirovane.ini cannot be written: asks whether to restart as
// administrator (never in an elevated copy). Yes relaunches without a saved list and closes
// this copy's windows; true then, and the caller ends this copy.
bool OfferAdminRestartForSettings();
