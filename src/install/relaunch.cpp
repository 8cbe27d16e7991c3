#include "install/relaunch.h"

bool RelaunchAsAdministrator(bool) { return false; }
void OfferAdminRestartForSettings() {}
