#include "package/package.h"

// Until the zip reader lands no package is looked for.
void CheckAppendedPackage() {}
