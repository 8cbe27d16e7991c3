// The error page shown when the host program is missing and the computer is online: retry,
// fetch the latest files from the product's web site, or quit. The page's actions and its
// navigation rules are pure functions; the dialog only acts on what they decide.
#pragma once
#include <windows.h>

#include <string>

enum class ErrorPageAction { None, Close, Retry };

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

// --- settings

// [Mirovane] WebSite: the product's web site (https).
std::wstring ProductWebSite();

// --- the dialog

class CErrorHandlingDlg {
public:
    explicit CErrorHandlingDlg(HWND parent = nullptr) : parent_(parent) {}
    // Modal. Close (the page's close link, Close, Esc) or Retry; the caller acts on it.
    ErrorPageAction DoModal();

private:
    static INT_PTR CALLBACK DialogProc(HWND, UINT, WPARAM, LPARAM);
    void OnInitDialog();
    void OnReDownload();

    HWND parent_;
    HWND hwnd_ = nullptr;
    std::wstring planId_;
    std::wstring site_;
};
