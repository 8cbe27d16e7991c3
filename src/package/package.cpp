#include "package/package.h"

// An update package carried at the end of the executable is not supported: nothing defines
// how the download list would come out of such a package, so start-up looks for none and
// every update comes from the update server.
void CheckAppendedPackage() {}
