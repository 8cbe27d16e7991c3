#include "ui/error_page.h"

#include <shellapi.h>

#include "config/settings.h"
#include "lang/language.h"
#include "notify/log.h"
#include "resources/resource_ids.h"
#include "util/files.h"
#include "util/text.h"

namespace {

constexpr wchar_t kDefaultSite[] = L"https://www.mirovane.invalid";

std::wstring LowerPrefix(const std::wstring& s, size_t n) { return mv::ToLower(s.substr(0, n)); }

bool StartsWithNoCase(const std::wstring& s, const std::wstring& prefix) {
    return s.size() >= prefix.size() && LowerPrefix(s, prefix.size()) == mv::ToLower(prefix);
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
    if (!topFrame || builtInBase.empty() || !StartsWithNoCase(url, builtInBase)) return ErrorPageAction::None;
    std::wstring rest = url.substr(builtInBase.size());
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
    if (!builtInBase.empty() && StartsWithNoCase(url, builtInBase)) return true;
    if (mv::ToLower(url) == L"about:blank") return true;
    const auto [siteScheme, siteHost] = SchemeAndHost(site);
    const auto [scheme, host] = SchemeAndHost(url);
    return siteScheme == L"https" && !siteHost.empty() && scheme == L"https" && host == siteHost;
}

std::wstring ProductWebSite() {
    std::wstring site = ReadSettingOr(L"Mirovane", L"WebSite", kDefaultSite);
    while (!site.empty() && site.back() == L'/') site.pop_back();
    return site;
}

ErrorPageAction CErrorHandlingDlg::DoModal() {
    const INT_PTR r = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(MV_IDD_ERROR_FALLBACK), parent_,
                                      DialogProc, reinterpret_cast<LPARAM>(this));
    if (r == -1) {
        WriteLog(mv::Format(L"DialogBoxParam failed (%lu)", GetLastError()));
        return ErrorPageAction::Close;
    }
    return r == MV_IDC_ERROR_RETRY ? ErrorPageAction::Retry : ErrorPageAction::Close;
}

INT_PTR CALLBACK CErrorHandlingDlg::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_INITDIALOG) SetWindowLongPtrW(hwnd, GWLP_USERDATA, lParam);
    auto* self = reinterpret_cast<CErrorHandlingDlg*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return FALSE;
    switch (msg) {
    case WM_INITDIALOG:
        self->hwnd_ = hwnd;
        self->OnInitDialog();
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case MV_IDC_ERROR_RETRY:
            EndDialog(hwnd, MV_IDC_ERROR_RETRY);
            return TRUE;
        case MV_IDC_ERROR_REDOWNLOAD:
            self->OnReDownload();
            return TRUE;
        case IDOK:
        case IDCANCEL:  // Close, Esc and the title bar's close box
            EndDialog(hwnd, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

void CErrorHandlingDlg::OnInitDialog() {
    planId_ = ReadSetting(L"APPLICATION", L"PlanId");
    site_ = ProductWebSite();
    TheLanguage().TranslateDialog(hwnd_, L"MAIN");
    const std::wstring name = ReadSetting(L"APPLICATION", L"Name");
    std::wstring caption = Translate(L"MAIN", L"Download notice");
    if (!name.empty()) caption += L" - " + name;
    SetWindowTextW(hwnd_, caption.c_str());
    WriteLog(Translate(L"MAIN", L"The host program is missing: the error page is shown"));
}

void CErrorHandlingDlg::OnReDownload() {
    const std::wstring url = ReDownloadPageAddress(site_, planId_);
    if (!ErrorPageNavigationAllowed(url, L"", site_)) {
        WriteLog(mv::Format(Translate(L"MAIN", L"Not opened, not on the product's https web site: %s").c_str(), url.c_str()));
        return;
    }
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.hwnd = hwnd_;
    sei.lpVerb = L"open";
    sei.lpFile = url.c_str();
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&sei)) WriteLog(mv::Format(L"ShellExecuteEx failed (%lu): %s", GetLastError(), url.c_str()));
}
