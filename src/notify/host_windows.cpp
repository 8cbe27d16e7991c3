#include "notify/host_windows.h"

#include "updatelist/download_list.h"

// Until host notification lands: no windows are notified, the stage is only stored.
namespace HostWindows {
void Register(HWND, bool) {}
void Unregister(HWND) {}
void ReleaseAll() {}
}  // namespace HostWindows

void SetStage(int stage) { TheDownLoadList().stage = stage; }
