#include "util/shell_unelevated.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "util/handle.h"

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

}  // namespace

namespace {

// A string argument; VT_EMPTY when `text` is empty, as the shell expects for "not given".
VARIANT TextArgument(const std::wstring& text) {
    VARIANT v;
    VariantInit(&v);
    if (text.empty()) return v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(text.c_str());
    return v;
}

}  // namespace

HRESULT ShellExecuteUnelevated(const std::wstring& file, const std::wstring& params, const std::wstring& dir,
                               const wchar_t* verb) {
    mv::ComPtr<IShellDispatch2> shell;
    HRESULT hr = DesktopShellDispatch(shell);
    if (FAILED(hr)) return hr;
    BSTR name = SysAllocString(file.c_str());
    VARIANT args = TextArgument(params), folder = TextArgument(dir), operation = TextArgument(verb ? verb : L"");
    VARIANT show;
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    hr = shell->ShellExecute(name, args, folder, operation, show);
    VariantClear(&args);
    VariantClear(&folder);
    VariantClear(&operation);
    SysFreeString(name);
    return hr;
}

