// Continuing the update in an elevated copy of the program.
#pragma once

// Saves the download list and starts this program again with "runas"; true when started.
bool RelaunchAsAdministrator(bool closeThis);
// The settings writer's prompt to restart as administrator.
void OfferAdminRestartForSettings();
