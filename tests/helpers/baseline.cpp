// baseline: the floor a Win32 updater cannot go below under this Wine. It loads what the
// updater loads (user32, WinINet, COM with an MSXML document), does nothing with it, and
// prints its peak working set ("peakws=<bytes>"). scripts/bench.sh compares the updater's
// own peak with it.
#include <windows.h>
#include <msxml2.h>
#include <psapi.h>
#include <wininet.h>

#include <cstdio>

// The version-independent XML document the updater creates.
const CLSID kClsidDomDocument = {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

int wmain() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HINTERNET net = InternetOpenW(L"baseline", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    IXMLDOMDocument* doc = nullptr;
    CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                     reinterpret_cast<void**>(&doc));
    VARIANT_BOOL loaded = VARIANT_FALSE;
    if (doc) {
        BSTR xml = SysAllocString(L"<update/>");
        doc->loadXML(xml, &loaded);
        SysFreeString(xml);
    }
    CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    PROCESS_MEMORY_COUNTERS mem{};
    mem.cb = sizeof(mem);
    GetProcessMemoryInfo(GetCurrentProcess(), &mem, sizeof(mem));
    wprintf(L"loaded=%d\npeakws=%llu\n", loaded == VARIANT_TRUE ? 1 : 0,
            static_cast<unsigned long long>(mem.PeakWorkingSetSize));
    if (doc) doc->Release();
    if (net) InternetCloseHandle(net);
    CoUninitialize();
    return 0;
}
