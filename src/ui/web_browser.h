// A minimal OLE container for the Web browser control on plain Win32/COM: the client site,
// in-place site and frame it needs, a document host handler that keeps the control's own menu
// and the keys that open windows away, and a sink for its events that asks the owner what to do.
// Main (STA) thread only; the owner keeps the control's parent window alive while it exists.
#pragma once
#include <windows.h>

#include <string>

struct IWebBrowser2;

// The owner's answers. The sink calls them from inside the control's events: they decide,
// they must not destroy the control (post a message to act on it later).
class WebBrowserEvents {
public:
    virtual ~WebBrowserEvents() = default;
    // True cancels the navigation.
    virtual bool OnBeforeNavigate(const std::wstring& url, bool topFrame) = 0;
    // A page asks for a new window (an address when the system tells it). The control never
    // opens one itself: every request is cancelled after this call.
    virtual void OnNewWindow(const std::wstring& url) = 0;
    // True cancels the control's own error page.
    virtual bool OnNavigateError(const std::wstring& url, bool topFrame, long status) = 0;
    virtual void OnDocumentComplete(const std::wstring& url, bool topFrame) = 0;
};

class WebBrowserSite;

class WebBrowserHost {
public:
    WebBrowserHost() = default;
    ~WebBrowserHost() { Destroy(); }
    WebBrowserHost(const WebBrowserHost&) = delete;
    WebBrowserHost& operator=(const WebBrowserHost&) = delete;

    // Creates the control filling `parent`'s client area. False (one log line naming the
    // failed call) when there is no HTML engine or the control cannot be created or shown.
    bool Create(HWND parent, WebBrowserEvents* events);
    bool Navigate(const std::wstring& url);
    // Gives the control its keys (Tab, the page's accelerators); true when it used the message.
    bool TranslateAccelerator(MSG* msg);
    void Resize();
    // Disconnects the events and closes the control; safe to call twice.
    void Destroy();

private:
    WebBrowserSite* site_ = nullptr;
};
