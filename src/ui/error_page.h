// The error page shown when the host program is missing and the computer is online: retry,
// fetch the latest files from the product's web site, or quit. The page's actions and its
// navigation rules are pure functions; the dialog only acts on what they decide.
#pragma once
#include <windows.h>

#include <string>

#include "ui/dialog_sk.h"
#include "ui/web_browser.h"

enum class ErrorPageAction { None, Close, Retry };

// What the browser shows in its top frame: nothing yet, the built-in page, or another page.
enum class ErrorPageKind { None, BuiltIn, Remote };

// What the browser's event sink does with a navigation or a new-window request.
struct BrowserVerdict {
    enum Kind { Allow, Cancel, Close, Retry, OpenOutside } kind = Cancel;
    std::wstring url;  // for OpenOutside: the address the default browser opens
    bool operator==(const BrowserVerdict&) const = default;
};

// What to do when a page fails to load: nothing (a frame), show the built-in page instead of
// another page, or give up on the browser and show the plain dialog (the built-in page failed).
enum class LoadFailure { Ignore, ShowBuiltIn, PlainDialog };

// --- pure rules

// Percent-encodes every byte of the UTF-8 form except the unreserved characters.
std::wstring EscapeUrlComponent(const std::wstring& text);
// "{PlanId}" replaced by the plan id, URL-escaped.
std::wstring SubstitutePlanId(const std::wstring& address, const std::wstring& planId);
// True when the address starts with a scheme ("https:", "res:", "about:"); a drive letter
// ("C:") is not one.
bool HasUrlScheme(const std::wstring& address);
// An address with a scheme as it is; any other is a file beside the executable:
// "file:///" + exeDir (with its trailing "\") + address.
std::wstring ErrorPageAddress(const std::wstring& address, const std::wstring& exeDir);
// The remote page and the "download again" page on the product's web site.
std::wstring RemoteErrorPageAddress(const std::wstring& site, const std::wstring& planId);
std::wstring ReDownloadPageAddress(const std::wstring& site, const std::wstring& planId);
// Address of the built-in page's own folder: "res://" + exePath + "/".
std::wstring BuiltInPageBase(const std::wstring& exePath);
// The action of a link the built-in page itself carries ("a?action=closeApp",
// "a?action=ReDownLoad&id=..."), in the top frame only; None for any other address.
ErrorPageAction ErrorPageLinkAction(const std::wstring& url, const std::wstring& builtInBase, bool topFrame);
// True when the page may navigate to `url`: the built-in page and its resources, or https on
// the product's web site (`site` must itself be https). Everything else is cancelled.
bool ErrorPageNavigationAllowed(const std::wstring& url, const std::wstring& builtInBase, const std::wstring& site);

// The kind of page an address in the top frame is.
ErrorPageKind ErrorPageKindOf(const std::wstring& url, const std::wstring& builtInBase);
// The one rule the browser's events go through. `newWindow` is a request for a new window
// (never opened inside the process, which may run elevated); otherwise a navigation in the
// top frame or a frame. The built-in page's action links act only while the built-in page is
// shown, in its top frame; its "download again" link ("DigitalLibrary/show.aspx", relative)
// opens the product's page in the default browser; https pages of the site open there too
// when they ask for a new window; every other address is cancelled.
BrowserVerdict ErrorPageBrowserVerdict(const std::wstring& url, bool topFrame, bool newWindow, ErrorPageKind shown,
                                       const std::wstring& builtInBase, const std::wstring& site,
                                       const std::wstring& planId);
// A top-frame page failed to load.
LoadFailure ErrorPageLoadFailure(const std::wstring& url, bool topFrame, const std::wstring& builtInBase);

// --- settings

// [Mirovane] WebSite: the product's web site (https).
std::wstring ProductWebSite();

// --- the dialog

// The page in the Web browser control (template 101); the built-in page's content as a plain
// dialog (template 105) when there is no HTML engine or the built-in page itself cannot load.
class CErrorHandlingDlg : private mv::CDialogBase, private WebBrowserEvents {
public:
    explicit CErrorHandlingDlg(HWND parent = nullptr) : parent_(parent) {}
    // Modal. Close (the page's close link, Close, Esc) or Retry; the caller acts on it.
    ErrorPageAction DoModal();

private:
    enum class PageResult { Close, Retry, PlainDialog };

    PageResult RunBrowserPage();
    ErrorPageAction RunPlainDialog();
    // One object serves the page and then, when needed, the plain dialog (`plain_`).
    BOOL OnInitDialog() override;
    bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, INT_PTR* result) override;
    bool OnPageMessage(UINT msg, WPARAM wParam);
    bool OnPlainMessage(UINT msg, WPARAM wParam);
    void ReadSettings();
    void SetCaption(HWND hwnd);
    bool OnInitPage();
    void OnInitPlainDialog();
    void OnReDownload();
    // Ends the page from outside the browser's events, which must not destroy the browser.
    void EndPage(PageResult result);

    // WebBrowserEvents
    bool OnBeforeNavigate(const std::wstring& url, bool topFrame) override;
    void OnNewWindow(const std::wstring& url) override;
    bool OnNavigateError(const std::wstring& url, bool topFrame, long status) override;
    void OnDocumentComplete(const std::wstring& url, bool topFrame) override;

    HWND parent_;
    bool plain_ = false;
    std::wstring planId_;
    std::wstring site_;
    std::wstring base_;  // "res://<exe>/"
    WebBrowserHost browser_;
    ErrorPageKind shown_ = ErrorPageKind::None;
    bool remoteRequested_ = false;
    bool done_ = false;
    PageResult result_ = PageResult::Close;
};
