// Backups of replaced files, recorded in __oldfiles.lst.
#pragma once

// Deletes the backups recorded by the previous update (start-up).
void DeleteRecordedBackups();
