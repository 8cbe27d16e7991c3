#include "ui/shell_open.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shellapi.h>

#include "notify/log.h"
#include "util/handle.h"
#include "util/text.h"

// The method of IShellDispatch2, not the Win32 function the header turns the name into.
#undef ShellExecute

namespace {

// The desktop's shell automation object, reached through the desktop window's view.
HRESULT DesktopShellDispatch(mv::ComPtr<IShellDispatch2>& out) {
    mv::ComPtr<IShellWindows> windows;
    HRESULT hr = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                  reinterpret_cast<void**>(windows.put()));
    if (FAILED(hr)) return hr;
    VARIANT loc, empty;
    VariantInit(&empty);
    VariantInit(&loc);
    loc.vt = VT_I4;
    loc.lVal = CSIDL_DESKTOP;
    long hwnd = 0;
    mv::ComPtr<IDispatch> desktop;
    hr = windows->FindWindowSW(&loc, &empty, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH, desktop.put());
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;  // S_FALSE: no desktop window
    mv::ComPtr<IServiceProvider> services;
    hr = desktop->QueryInterface(IID_IServiceProvider, reinterpret_cast<void**>(services.put()));
    if (FAILED(hr)) return hr;
    mv::ComPtr<IShellBrowser> browser;
    hr = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, reinterpret_cast<void**>(browser.put()));
    if (FAILED(hr)) return hr;
    mv::ComPtr<IShellView> view;
    hr = browser->QueryActiveShellView(view.put());
    if (FAILED(hr)) return hr;
    mv::ComPtr<IDispatch> background;
    hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, reinterpret_cast<void**>(background.put()));
    if (FAILED(hr)) return hr;
    mv::ComPtr<IShellFolderViewDual> folderView;
    hr = background->QueryInterface(IID_IShellFolderViewDual, reinterpret_cast<void**>(folderView.put()));
    if (FAILED(hr)) return hr;
    mv::ComPtr<IDispatch> application;
    hr = folderView->get_Application(application.put());
    if (FAILED(hr)) return hr;
    return application->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(out.put()));
}

HRESULT ShellExecuteUnelevated(const std::wstring& url) {
    mv::ComPtr<IShellDispatch2> shell;
    HRESULT hr = DesktopShellDispatch(shell);
    if (FAILED(hr)) return hr;
    BSTR file = SysAllocString(url.c_str());
    VARIANT empty, verb;
    VariantInit(&empty);
    VariantInit(&verb);
    verb.vt = VT_BSTR;
    verb.bstrVal = SysAllocString(L"open");
    VARIANT show;
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    hr = shell->ShellExecute(file, empty, empty, verb, show);
    VariantClear(&verb);
    SysFreeString(file);
    return hr;
}

}  // namespace

bool OpenUrlInDefaultBrowser(HWND owner, const std::wstring& url) {
    const HRESULT hr = ShellExecuteUnelevated(url);
    if (SUCCEEDED(hr)) return true;
    WriteLog(mv::Format(L"IShellDispatch2::ShellExecute through the desktop failed (0x%08lX): opening %s directly",
                        static_cast<unsigned long>(hr), url.c_str()));
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.hwnd = owner;
    sei.lpVerb = L"open";
    sei.lpFile = url.c_str();
    sei.nShow = SW_SHOWNORMAL;
    if (ShellExecuteExW(&sei)) return true;
    WriteLog(mv::Format(L"ShellExecuteEx failed (%lu): %s", GetLastError(), url.c_str()));
    return false;
}
