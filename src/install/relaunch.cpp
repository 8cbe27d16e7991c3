#include "install/relaunch.h"

// Until the relaunch lands the update never continues elevated.
bool RelaunchAsAdministrator(bool) { return false; }
void OfferAdminRestartForSettings() {}
