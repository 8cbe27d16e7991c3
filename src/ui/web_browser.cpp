#include "ui/web_browser.h"

#include <exdisp.h>
#include <exdispid.h>
#include <mshtmhst.h>
#include <ocidl.h>
#include <oleauto.h>

#include "notify/log.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

// The HTML document object (mshtml); not in the import library's GUIDs.
constexpr CLSID kClsidHtmlDocument = {0x25336920, 0x03f9, 0x11cf, {0x8f, 0xd0, 0x00, 0xaa, 0x00, 0x68, 0x6f, 0x13}};

// One line for the failure that keeps the page out of the control; the caller falls back.
HRESULT LogComFailure(const wchar_t* call, HRESULT hr) {
    WriteLog(mv::Format(L"%s failed (0x%08lX): the error page is shown without the Web browser control", call,
                        static_cast<unsigned long>(hr)));
    return hr;
}

// The text of an event argument: a BSTR, or a reference to a variant holding one.
std::wstring VariantText(const VARIANT& v) {
    const VARIANT* p = &v;
    if (p->vt == (VT_BYREF | VT_VARIANT) && p->pvarVal) p = p->pvarVal;
    if (p->vt == VT_BSTR && p->bstrVal) return std::wstring(p->bstrVal, SysStringLen(p->bstrVal));
    if (p->vt == (VT_BYREF | VT_BSTR) && p->pbstrVal && *p->pbstrVal)
        return std::wstring(*p->pbstrVal, SysStringLen(*p->pbstrVal));
    return {};
}

void SetCancel(const VARIANT& v, bool cancel) {
    if (v.vt == (VT_BYREF | VT_BOOL) && v.pboolVal) *v.pboolVal = cancel ? VARIANT_TRUE : VARIANT_FALSE;
}

bool SameObject(IUnknown* a, IUnknown* b) {
    if (!a || !b) return false;
    mv::ComPtr<IUnknown> ua, ub;
    if (FAILED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ua.put())))) return false;
    if (FAILED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(ub.put())))) return false;
    return ua.get() == ub.get();
}

IUnknown* ArgObject(const VARIANT& v) {
    if (v.vt == VT_DISPATCH) return v.pdispVal;
    if (v.vt == VT_UNKNOWN) return v.punkVal;
    return nullptr;
}

}  // namespace

// One object is every interface the control asks its container for. It lives as long as
// anyone holds a reference; the host drops the control's references in Destroy.
class WebBrowserSite final : public IOleClientSite,
                             public IOleInPlaceSite,
                             public IOleInPlaceFrame,
                             public IDocHostUIHandler,
                             public IDispatch {
public:
    WebBrowserSite(HWND parent, WebBrowserEvents* events) : parent_(parent), events_(events) {}

    HRESULT Create() {
        // Without an HTML engine the control comes up but never shows a page: ask first.
        mv::ComPtr<IClassFactory> engine;
        HRESULT hr = CoGetClassObject(kClsidHtmlDocument, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                      reinterpret_cast<void**>(engine.put()));
        if (FAILED(hr)) return LogComFailure(L"CoGetClassObject(HTMLDocument)", hr);
        hr = CoCreateInstance(CLSID_WebBrowser, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                              reinterpret_cast<void**>(object_.put()));
        if (FAILED(hr)) return LogComFailure(L"CoCreateInstance(WebBrowser)", hr);
        hr = object_->SetClientSite(static_cast<IOleClientSite*>(this));
        if (FAILED(hr)) return LogComFailure(L"IOleObject::SetClientSite", hr);
        hr = object_->QueryInterface(IID_IWebBrowser2, reinterpret_cast<void**>(browser_.put()));
        if (FAILED(hr)) return LogComFailure(L"QueryInterface(IWebBrowser2)", hr);
        // No script error boxes, no files dropped onto the page.
        browser_->put_Silent(VARIANT_TRUE);
        browser_->put_RegisterAsDropTarget(VARIANT_FALSE);
        mv::ComPtr<IConnectionPointContainer> points;
        hr = browser_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(points.put()));
        if (SUCCEEDED(hr)) hr = points->FindConnectionPoint(DIID_DWebBrowserEvents2, point_.put());
        if (SUCCEEDED(hr)) hr = point_->Advise(static_cast<IDispatch*>(this), &cookie_);
        if (FAILED(hr)) return LogComFailure(L"Advise(DWebBrowserEvents2)", hr);
        RECT rc;
        GetClientRect(parent_, &rc);
        hr = object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(this), 0, parent_, &rc);
        if (FAILED(hr)) return LogComFailure(L"IOleObject::DoVerb", hr);
        return S_OK;
    }

    void Destroy() {
        if (point_ && cookie_) point_->Unadvise(cookie_);
        cookie_ = 0;
        point_.reset();
        active_.reset();
        if (browser_) browser_->Stop();
        browser_.reset();
        if (object_) {
            object_->Close(OLECLOSE_NOSAVE);
            object_->SetClientSite(nullptr);
        }
        object_.reset();
        events_ = nullptr;
    }

    bool Navigate(const std::wstring& url) {
        if (!browser_) return false;
        BSTR b = SysAllocString(url.c_str());
        VARIANT empty;
        VariantInit(&empty);
        const HRESULT hr = browser_->Navigate(b, &empty, &empty, &empty, &empty);
        SysFreeString(b);
        if (FAILED(hr)) WriteLog(mv::Format(L"IWebBrowser2::Navigate failed (0x%08lX): %s", hr, url.c_str()));
        return SUCCEEDED(hr);
    }

    bool Translate(MSG* msg) {
        if (!active_ || msg->message < WM_KEYFIRST || msg->message > WM_KEYLAST) return false;
        return active_->TranslateAccelerator(msg) == S_OK;
    }

    void Resize() {
        if (!object_) return;
        RECT rc;
        GetClientRect(parent_, &rc);
        mv::ComPtr<IOleInPlaceObject> inPlace;
        if (SUCCEEDED(object_->QueryInterface(IID_IOleInPlaceObject, reinterpret_cast<void**>(inPlace.put()))))
            inPlace->SetObjectRects(&rc, &rc);
    }

    // --- IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite) *out = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite) *out = static_cast<IOleInPlaceSite*>(this);
        else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
            *out = static_cast<IOleInPlaceFrame*>(this);
        else if (riid == IID_IDocHostUIHandler) *out = static_cast<IDocHostUIHandler*>(this);
        else if (riid == IID_IDispatch || riid == DIID_DWebBrowserEvents2) *out = static_cast<IDispatch*>(this);
        else return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }

    // --- IOleClientSite
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** c) override { return *c = nullptr, E_NOINTERFACE; }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // --- IOleWindow (in-place site and frame)
    STDMETHODIMP GetWindow(HWND* hwnd) override { return *hwnd = parent_, S_OK; }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // --- IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** doc, LPRECT pos, LPRECT clip,
                                  LPOLEINPLACEFRAMEINFO info) override {
        *frame = static_cast<IOleInPlaceFrame*>(this);
        AddRef();
        *doc = nullptr;
        GetClientRect(parent_, pos);
        GetClientRect(parent_, clip);
        info->fMDIApp = FALSE;
        info->hwndFrame = parent_;
        info->haccel = nullptr;
        info->cAccelEntries = 0;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return active_.reset(), S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    // --- IOleInPlaceUIWindow, IOleInPlaceFrame: no toolbars, no menus.
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* active, LPCOLESTR) override {
        active_.reset();
        if (active) {
            active->AddRef();
            *active_.put() = active;
        }
        return S_OK;
    }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return S_OK; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

    // --- IDocHostUIHandler
    // The control's own menu offers "open in new window", "view source" and printing, all of
    // which would run with this process's rights: it is never shown.
    STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_OK; }
    STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override {
        info->dwFlags = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_DIALOG | DOCHOSTUIFLAG_DISABLE_HELP_MENU;
        info->dwDoubleClick = DOCHOSTUIDBLCLK_DEFAULT;
        return S_OK;
    }
    STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                        IOleInPlaceUIWindow*) override {
        return S_OK;
    }
    STDMETHODIMP HideUI() override { return S_OK; }
    STDMETHODIMP UpdateUI() override { return S_OK; }
    STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    // Control-key shortcuts open windows, files and print dialogs: swallowed. Tab, the arrows,
    // Enter and the like still reach the page.
    STDMETHODIMP TranslateAccelerator(LPMSG msg, const GUID*, DWORD) override {
        if ((msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN) && (GetKeyState(VK_CONTROL) & 0x8000) &&
            msg->wParam != VK_TAB && msg->wParam != 'C' && msg->wParam != 'A')
            return S_OK;
        return S_FALSE;
    }
    STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD) override { return *key = nullptr, S_FALSE; }
    STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget** target) override { return *target = nullptr, E_NOTIMPL; }
    STDMETHODIMP GetExternal(IDispatch** external) override { return *external = nullptr, S_FALSE; }
    STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* out) override { return *out = nullptr, S_FALSE; }
    STDMETHODIMP FilterDataObject(IDataObject*, IDataObject** out) override { return *out = nullptr, S_FALSE; }

    // --- IDispatch: DWebBrowserEvents2
    STDMETHODIMP GetTypeInfoCount(UINT* n) override { return *n = 0, S_OK; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
        if (!events_ || !p) return S_OK;
        const VARIANT* a = p->rgvarg;  // arguments in reverse order
        switch (id) {
        case DISPID_BEFORENAVIGATE2:  // pDisp, URL, Flags, TargetFrameName, PostData, Headers, Cancel
            if (p->cArgs == 7) SetCancel(a[0], events_->OnBeforeNavigate(VariantText(a[5]), IsTop(a[6])));
            break;
        // NewWindow2 carries no address and, cancelled, would keep NewWindow3 (which follows it
        // on every system with an HTML engine we can host) from telling us where it leads.
        case DISPID_NEWWINDOW3:  // ppDisp, Cancel, dwFlags, bstrUrlContext, bstrUrl
            if (p->cArgs == 5) {
                events_->OnNewWindow(VariantText(a[0]));
                SetCancel(a[3], true);
            }
            break;
        case DISPID_NAVIGATEERROR:  // pDisp, URL, TargetFrameName, StatusCode, Cancel
            if (p->cArgs == 5) {
                long status = a[1].vt == (VT_BYREF | VT_VARIANT) && a[1].pvarVal ? a[1].pvarVal->lVal : 0;
                SetCancel(a[0], events_->OnNavigateError(VariantText(a[3]), IsTop(a[4]), status));
            }
            break;
        case DISPID_DOCUMENTCOMPLETE:  // pDisp, URL
            if (p->cArgs == 2) events_->OnDocumentComplete(VariantText(a[0]), IsTop(a[1]));
            break;
        default:
            break;
        }
        return S_OK;
    }

private:
    ~WebBrowserSite() = default;
    bool IsTop(const VARIANT& v) const { return SameObject(ArgObject(v), browser_.get()); }

    ULONG refs_ = 1;
    HWND parent_;
    WebBrowserEvents* events_;
    mv::ComPtr<IOleObject> object_;
    mv::ComPtr<IWebBrowser2> browser_;
    mv::ComPtr<IConnectionPoint> point_;
    mv::ComPtr<IOleInPlaceActiveObject> active_;
    DWORD cookie_ = 0;
};

bool WebBrowserHost::Create(HWND parent, WebBrowserEvents* events) {
    Destroy();
    site_ = new WebBrowserSite(parent, events);
    if (SUCCEEDED(site_->Create())) return true;
    Destroy();
    return false;
}

bool WebBrowserHost::Navigate(const std::wstring& url) { return site_ && site_->Navigate(url); }

bool WebBrowserHost::TranslateAccelerator(MSG* msg) { return site_ && site_->Translate(msg); }

void WebBrowserHost::Resize() {
    if (site_) site_->Resize();
}

void WebBrowserHost::Destroy() {
    if (!site_) return;
    site_->Destroy();
    site_->Release();
    site_ = nullptr;
}
