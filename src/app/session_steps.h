// The session steps the windows run, taken from the modules that own them.
#pragma once
#include "ui/windows.h"

class CUpdateApp;

SessionSteps MakeSessionSteps(CUpdateApp* app);
