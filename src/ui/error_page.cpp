#include "ui/error_page.h"

#include <ole2.h>

#include <cwctype>

#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "resources/resource_ids.h"
#include "ui/shell_open.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr wchar_t kDefaultSite[] = L"https://www.mirovane.invalid";

std::wstring LowerPrefix(const std::wstring& s, size_t n) { return mv::ToLower(s.substr(0, n)); }

bool StartsWithNoCase(const std::wstring& s, const std::wstring& prefix) {
    return s.size() >= prefix.size() && LowerPrefix(s, prefix.size()) == mv::ToLower(prefix);
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Length of the part of `url` that is the built-in page's base, or npos. The browser may hand
// the executable's path back escaped ("%20" for a space) or with "/" for "\": both still match,
// case-insensitively. Only the base is unescaped; the rest is parsed as it came.
size_t BuiltInBaseLength(const std::wstring& url, const std::wstring& base) {
    if (base.empty()) return std::wstring::npos;
    size_t i = 0;
    for (wchar_t want : base) {
        if (i >= url.size()) return std::wstring::npos;
        wchar_t got = url[i++];
        if (got == L'%' && i + 1 < url.size() && HexValue(url[i]) >= 0 && HexValue(url[i + 1]) >= 0) {
            got = static_cast<wchar_t>(HexValue(url[i]) * 16 + HexValue(url[i + 1]));
            i += 2;
        }
        if (got == L'/') got = L'\\';
        if (want == L'/') want = L'\\';
        if (towlower(got) != towlower(want)) return std::wstring::npos;
    }
    return i;
}

// Scheme and host ("https", "www.example.com") of an absolute address; empty when not one.
std::pair<std::wstring, std::wstring> SchemeAndHost(const std::wstring& url) {
    const size_t colon = url.find(L"://");
    if (colon == std::wstring::npos || !HasUrlScheme(url)) return {};
    const size_t start = colon + 3;
    size_t end = url.find_first_of(L"/?#\\", start);
    if (end == std::wstring::npos) end = url.size();
    std::wstring host = url.substr(start, end - start);
    if (host.find(L'@') != std::wstring::npos) return {};  // no credentials in a trusted address
    return {mv::ToLower(url.substr(0, colon)), mv::ToLower(host)};
}

}  // namespace

std::wstring EscapeUrlComponent(const std::wstring& text) {
    std::wstring out;
    for (unsigned char b : mv::ToUtf8(text)) {
        if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' || b == '_' ||
            b == '.' || b == '~')
            out += static_cast<wchar_t>(b);
        else
            out += mv::Format(L"%%%02X", static_cast<unsigned>(b));
    }
    return out;
}

std::wstring SubstitutePlanId(const std::wstring& address, const std::wstring& planId) {
    return mv::ReplaceAll(address, L"{PlanId}", EscapeUrlComponent(planId));
}

bool HasUrlScheme(const std::wstring& address) {
    const size_t colon = address.find(L':');
    if (colon == std::wstring::npos || colon < 2) return false;
    for (size_t i = 0; i < colon; ++i) {
        const wchar_t c = address[i];
        const bool alpha = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
        const bool other = (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
        if (!alpha && !(i > 0 && other)) return false;
    }
    return true;
}

std::wstring ErrorPageAddress(const std::wstring& address, const std::wstring& exeDir) {
    if (HasUrlScheme(address)) return address;
    return L"file:///" + exeDir + address;
}

std::wstring RemoteErrorPageAddress(const std::wstring& site, const std::wstring& planId) {
    return site + L"/DigitalLibrary/ExeMiddle.aspx?id=" + EscapeUrlComponent(planId);
}

std::wstring ReDownloadPageAddress(const std::wstring& site, const std::wstring& planId) {
    return site + L"/DigitalLibrary/show.aspx?id=" + EscapeUrlComponent(planId);
}

std::wstring BuiltInPageBase(const std::wstring& exePath) { return L"res://" + exePath + L"/"; }

ErrorPageAction ErrorPageLinkAction(const std::wstring& url, const std::wstring& builtInBase, bool topFrame) {
    const size_t baseLength = BuiltInBaseLength(url, builtInBase);
    if (!topFrame || baseLength == std::wstring::npos) return ErrorPageAction::None;
    std::wstring rest = url.substr(baseLength);
    const size_t hash = rest.find(L'#');
    if (hash != std::wstring::npos) rest.erase(hash);
    const size_t q = rest.find(L'?');
    if (q == std::wstring::npos || rest.substr(0, q) != L"a") return ErrorPageAction::None;
    std::wstring action;
    int actions = 0;
    for (const std::wstring& pair : mv::Split(rest.substr(q + 1), L'&')) {
        const size_t eq = pair.find(L'=');
        if (eq == std::wstring::npos || pair.substr(0, eq) != L"action") continue;
        action = pair.substr(eq + 1);
        ++actions;
    }
    if (actions != 1) return ErrorPageAction::None;  // none, or an ambiguous repeat
    if (action == L"closeApp") return ErrorPageAction::Close;
    if (action == L"ReDownLoad") return ErrorPageAction::Retry;
    return ErrorPageAction::None;
}

bool ErrorPageNavigationAllowed(const std::wstring& url, const std::wstring& builtInBase, const std::wstring& site) {
    if (BuiltInBaseLength(url, builtInBase) != std::wstring::npos) return true;
    if (mv::ToLower(url) == L"about:blank") return true;
    const auto [siteScheme, siteHost] = SchemeAndHost(site);
    const auto [scheme, host] = SchemeAndHost(url);
    return siteScheme == L"https" && !siteHost.empty() && scheme == L"https" && host == siteHost;
}

ErrorPageKind ErrorPageKindOf(const std::wstring& url, const std::wstring& builtInBase) {
    if (url.empty()) return ErrorPageKind::None;
    return BuiltInBaseLength(url, builtInBase) != std::wstring::npos ? ErrorPageKind::BuiltIn : ErrorPageKind::Remote;
}

BrowserVerdict ErrorPageBrowserVerdict(const std::wstring& url, bool topFrame, bool newWindow, ErrorPageKind shown,
                                       const std::wstring& builtInBase, const std::wstring& site,
                                       const std::wstring& planId) {
    const bool onBuiltIn = ErrorPageKindOf(url, builtInBase) == ErrorPageKind::BuiltIn;
    if (shown == ErrorPageKind::BuiltIn && onBuiltIn) {
        switch (ErrorPageLinkAction(url, builtInBase, topFrame && !newWindow)) {
        case ErrorPageAction::Close: return {BrowserVerdict::Close, {}};
        case ErrorPageAction::Retry: return {BrowserVerdict::Retry, {}};
        case ErrorPageAction::None: break;
        }
        // The page cannot know the configured site, so its link is relative and re-rooted here.
        if ((topFrame || newWindow) &&
            StartsWithNoCase(url.substr(BuiltInBaseLength(url, builtInBase)), L"DigitalLibrary/show.aspx"))
            return {BrowserVerdict::OpenOutside, ReDownloadPageAddress(site, planId)};
    }
    const bool allowed = ErrorPageNavigationAllowed(url, builtInBase, site);
    if (newWindow) {
        const bool onSite = allowed && !onBuiltIn && mv::ToLower(url) != L"about:blank";
        return onSite ? BrowserVerdict{BrowserVerdict::OpenOutside, url} : BrowserVerdict{BrowserVerdict::Cancel, {}};
    }
    // An action link from anywhere else, or to a frame, is not followed either.
    if (allowed && ErrorPageLinkAction(url, builtInBase, true) == ErrorPageAction::None)
        return {BrowserVerdict::Allow, {}};
    return {BrowserVerdict::Cancel, {}};
}

LoadFailure ErrorPageLoadFailure(const std::wstring& url, bool topFrame, const std::wstring& builtInBase) {
    if (!topFrame) return LoadFailure::Ignore;
    return ErrorPageKindOf(url, builtInBase) == ErrorPageKind::BuiltIn ? LoadFailure::PlainDialog
                                                                       : LoadFailure::ShowBuiltIn;
}

std::wstring ProductWebSite() {
    std::wstring site = ReadSettingOr(L"Mirovane", L"WebSite", kDefaultSite);
    while (!site.empty() && site.back() == L'/') site.pop_back();
    return site;
}

namespace {

constexpr UINT kEndPageMessage = WM_APP + 1;  // wParam: the result
constexpr UINT_PTR kLoadTimer = 1;
// The built-in page comes from the executable itself; one that has not loaded by then never will.
constexpr UINT kBuiltInLoadMs = 15000;

}  // namespace

ErrorPageAction CErrorHandlingDlg::DoModal() {
    ReadSettings();
    switch (RunBrowserPage()) {
    case PageResult::Retry: return ErrorPageAction::Retry;
    case PageResult::Close: return ErrorPageAction::Close;
    case PageResult::PlainDialog: break;
    }
    return RunPlainDialog();
}

void CErrorHandlingDlg::ReadSettings() {
    planId_ = ReadSetting(L"APPLICATION", L"PlanId");
    site_ = ProductWebSite();
    base_ = BuiltInPageBase(mv::ModulePath());
}

void CErrorHandlingDlg::SetCaption(HWND hwnd) {
    const std::wstring name = ReadSetting(L"APPLICATION", L"Name");
    std::wstring caption = Translate(L"MAIN", L"Download notice");
    if (!name.empty()) caption += L" - " + name;
    SetWindowTextW(hwnd, caption.c_str());
}

// A modal loop of our own rather than DialogBox: the browser needs its keys offered first, and
// Esc must close the page whichever of the browser's windows has the focus.
CErrorHandlingDlg::PageResult CErrorHandlingDlg::RunBrowserPage() {
    const HRESULT hr = OleInitialize(nullptr);
    if (FAILED(hr)) {
        WriteLog(mv::Format(L"OleInitialize failed (0x%08lX): the error page is shown without the Web browser control",
                            static_cast<unsigned long>(hr)));
        return PageResult::PlainDialog;
    }
    done_ = false;
    result_ = PageResult::Close;
    shown_ = ErrorPageKind::None;
    remoteRequested_ = false;
    plain_ = false;
    HWND page = Create(GetModuleHandleW(nullptr), MV_IDD_ERROR_PAGE, parent_);
    if (!page) {
        WriteLog(mv::Format(L"CreateDialogParam failed (%lu): the error page is shown without the Web browser control",
                            GetLastError()));
        OleUninitialize();
        return PageResult::PlainDialog;
    }
    const bool parentEnabled = parent_ && IsWindowEnabled(parent_);
    if (parentEnabled) EnableWindow(parent_, FALSE);
    MSG msg;
    while (!done_) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop outside
            result_ = PageResult::Close;
            break;
        }
        const bool ours = msg.hwnd == page || IsChild(page, msg.hwnd);
        if (ours && msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
            result_ = PageResult::Close;
            break;
        }
        if (ours && browser_.TranslateAccelerator(&msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (parentEnabled) EnableWindow(parent_, TRUE);
    browser_.Destroy();
    DestroyWindow(page);
    hwnd_ = nullptr;
    OleUninitialize();
    return result_;
}

BOOL CErrorHandlingDlg::OnInitDialog() {
    if (plain_) {
        OnInitPlainDialog();
    } else if (!OnInitPage()) {
        EndPage(PageResult::PlainDialog);
    }
    return TRUE;
}

bool CErrorHandlingDlg::OnMessage(UINT msg, WPARAM wParam, LPARAM, INT_PTR* result) {
    *result = 0;
    return plain_ ? OnPlainMessage(msg, wParam) : OnPageMessage(msg, wParam);
}

bool CErrorHandlingDlg::OnPageMessage(UINT msg, WPARAM wParam) {
    switch (msg) {
    case WM_SIZE:
        browser_.Resize();
        return true;
    case WM_TIMER:
        if (wParam != kLoadTimer) return false;
        KillTimer(hwnd_, kLoadTimer);
        WriteLog(Translate(L"MAIN", L"The built-in error page did not load: it is shown as a plain dialog"));
        EndPage(PageResult::PlainDialog);
        return true;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDCANCEL) return false;
        EndPage(PageResult::Close);  // the title bar's close box, Alt+F4
        return true;
    case kEndPageMessage:
        result_ = static_cast<PageResult>(wParam);
        done_ = true;
        return true;
    default:
        return false;
    }
}

bool CErrorHandlingDlg::OnInitPage() {
    SetCaption(hwnd_);
    if (!browser_.Create(hwnd_, this)) return false;
    // The built-in page first; the site's page replaces it once it is on screen.
    if (!browser_.Navigate(base_ + std::to_wstring(MV_IDR_ERROR_PAGE))) return false;
    SetTimer(hwnd_, kLoadTimer, kBuiltInLoadMs, nullptr);
    return true;
}

void CErrorHandlingDlg::EndPage(PageResult result) {
    PostMessageW(hwnd_, kEndPageMessage, static_cast<WPARAM>(result), 0);
}

bool CErrorHandlingDlg::OnBeforeNavigate(const std::wstring& url, bool topFrame) {
    const BrowserVerdict v = ErrorPageBrowserVerdict(url, topFrame, false, shown_, base_, site_, planId_);
    switch (v.kind) {
    case BrowserVerdict::Allow: return false;
    case BrowserVerdict::Close: EndPage(PageResult::Close); return true;
    case BrowserVerdict::Retry: EndPage(PageResult::Retry); return true;
    case BrowserVerdict::OpenOutside: OpenUrlInDefaultBrowser(hwnd_, v.url); return true;
    case BrowserVerdict::Cancel: break;
    }
    WriteLog(mv::Format(Translate(L"MAIN", L"The error page may not open %s").c_str(), url.c_str()));
    return true;
}

void CErrorHandlingDlg::OnNewWindow(const std::wstring& url) {
    const BrowserVerdict v = ErrorPageBrowserVerdict(url, false, true, shown_, base_, site_, planId_);
    if (v.kind == BrowserVerdict::OpenOutside) OpenUrlInDefaultBrowser(hwnd_, v.url);
    else WriteLog(mv::Format(Translate(L"MAIN", L"The error page may not open %s").c_str(), url.c_str()));
}

bool CErrorHandlingDlg::OnNavigateError(const std::wstring& url, bool topFrame, long status) {
    switch (ErrorPageLoadFailure(url, topFrame, base_)) {
    case LoadFailure::Ignore: return false;
    case LoadFailure::ShowBuiltIn:
        WriteLog(mv::Format(Translate(L"MAIN", L"The error page could not load %s (%ld): the built-in page is shown").c_str(),
                            url.c_str(), status));
        browser_.Navigate(base_ + std::to_wstring(MV_IDR_ERROR_PAGE));
        return true;
    case LoadFailure::PlainDialog:
        WriteLog(mv::Format(Translate(L"MAIN", L"The built-in error page did not load (%ld): it is shown as a plain dialog").c_str(),
                            status));
        EndPage(PageResult::PlainDialog);
        return true;
    }
    return true;
}

void CErrorHandlingDlg::OnDocumentComplete(const std::wstring& url, bool topFrame) {
    if (!topFrame) return;
    shown_ = ErrorPageKindOf(url, base_);
    if (shown_ != ErrorPageKind::BuiltIn) return;
    KillTimer(hwnd_, kLoadTimer);
    if (!IsWindowVisible(hwnd_)) {
        ShowWindow(hwnd_, SW_SHOW);
        SetForegroundWindow(hwnd_);
        WriteLog(Translate(L"MAIN", L"The host program is missing: the error page is shown"));
    }
    if (!remoteRequested_) {
        remoteRequested_ = true;
        const std::wstring exe = mv::ModulePath();
        const std::wstring exeDir = exe.substr(0, exe.find_last_of(L'\\') + 1);
        browser_.Navigate(ErrorPageAddress(RemoteErrorPageAddress(site_, planId_), exeDir));
    }
}

ErrorPageAction CErrorHandlingDlg::RunPlainDialog() {
    plain_ = true;
    const INT_PTR r = CDialogBase::DoModal(GetModuleHandleW(nullptr), MV_IDD_ERROR_FALLBACK, parent_);
    if (r == -1) return ErrorPageAction::Close;  // logged by the dialog base
    return r == MV_IDC_ERROR_RETRY ? ErrorPageAction::Retry : ErrorPageAction::Close;
}

bool CErrorHandlingDlg::OnPlainMessage(UINT msg, WPARAM wParam) {
    if (msg != WM_COMMAND) return false;
    switch (LOWORD(wParam)) {
    case MV_IDC_ERROR_RETRY:
        EndDialog(MV_IDC_ERROR_RETRY);
        return true;
    case MV_IDC_ERROR_REDOWNLOAD:
        OnReDownload();
        return true;
    case IDOK:
    case IDCANCEL:  // Close, Esc and the title bar's close box
        EndDialog(IDCANCEL);
        return true;
    default:
        return false;
    }
}

void CErrorHandlingDlg::OnInitPlainDialog() {
    TheLanguage().TranslateDialog(hwnd_, L"MAIN");
    SetCaption(hwnd_);
    WriteLog(Translate(L"MAIN", L"The host program is missing: the error page is shown"));
}

void CErrorHandlingDlg::OnReDownload() {
    const std::wstring url = ReDownloadPageAddress(site_, planId_);
    if (!ErrorPageNavigationAllowed(url, L"", site_)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"Not opened, not on the product's https web site: %s").c_str(), url.c_str()));
        return;
    }
    OpenUrlInDefaultBrowser(hwnd_, url);
}
