// The install targets' rule is shared with the download engine and the check, so it lives
// with the download list; this name stays for the install code that includes it.
#pragma once
#include "updatelist/targets.h"
