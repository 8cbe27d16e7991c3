#include "install/backups.h"

void DeleteRecordedBackups() {}
