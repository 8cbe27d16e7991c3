#include "updatelist/list_cache.h"

// Until the cache files land there is no package and nothing to age.
void ListCacheBookkeeping() {}
void RefreshListInBackground() {}
bool LoadSettingsPackage() { return false; }
