#include "install/tasks.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include "config/path_macros.h"
#include "config/settings.h"
#include "util/file_tree.h"
#include "install/confine.h"
#include "install/file_ops.h"
#include "install/locked_files.h"
#include "install/run_file.h"
#include "install/targets.h"
#include "lang/language.h"
#include "notify/log.h"
#include "updatelist/download_list.h"
#include "util/xml_doc.h"
#include "util/files.h"
#include "util/handle.h"
#include "util/text.h"

namespace {

void Notify(HWND window, const std::wstring& text, LPARAM kind) {
    if (window) SendStatusText(window, text, kind);
    WriteLog(text);
}

std::wstring Resolve(const std::wstring& path) { return ResolvePath(GetAppDir(), path); }

std::wstring LastComponent(const std::wstring& path) {
    const size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring Attr(IXMLDOMNode* node, const wchar_t* name) {
    mv::ComPtr<IXMLDOMElement> e;
    if (FAILED(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(e.put())))) return {};
    return mv::ElementAttribute(e.get(), name);
}

bool DeleteTreeConfined(const std::wstring& dir) {
    if (!MayTouchPath(dir)) return false;
    return DeleteTree(dir);
}

void RunTaskElement(IXMLDOMNode* node, HWND window) {
    const std::wstring name = mv::NodeName(node);
    if (name == L"run") {
        const std::wstring file = Attr(node, L"file");
        if (!file.empty()) {
            const std::wstring wait = mv::ToLower(Attr(node, L"waitclose"));
            RunFile(Resolve(file), Attr(node, L"workpath"), Attr(node, L"param"), window,
                    wait.find_first_of(L"1yt") != std::wstring::npos);
        }
    } else if (name == L"ren" || name == L"rename") {
        const std::wstring source = Resolve(Attr(node, L"source")), target = Resolve(Attr(node, L"target"));
        if (MayTouchPath(source) && MayTouchPath(target)) {
            if (!MoveFileW(source.c_str(), target.c_str()))
                WriteLog(mv::Format(L"MoveFile[%s]to[%s] failed: %lu", source.c_str(), target.c_str(), GetLastError()));
            Notify(window, Translate(L"MAIN", L"Move file:") + mv::Format(L"[%s->%s]", source.c_str(), target.c_str()), 1);
        }
    } else if (name == L"kill") {
        std::wstring file = Attr(node, L"file");
        if (!file.empty()) {
            file = Resolve(file);
            // Closing the programs of the application directory itself is what a kill of it means.
            if (PathEqualsNoCase(NormalizePath(file), NormalizePath(GetAppDir())) || MayTouchPath(file)) {
                CloseProgramByPath(file);
                Notify(window, Translate(L"MAIN", L"Kill process") + mv::Format(L"[%s]", file.c_str()), 1);
            }
        }
    } else if (name == L"path") {
        std::wstring dir = Attr(node, L"name");
        if (dir.empty()) dir = mv::NodeText(node);
        if (!dir.empty()) {
            dir = Resolve(dir);
            if (MayTouchPath(dir)) {
                Notify(window, Translate(L"MAIN", L"Create directory") + mv::Format(L"[%s]", dir.c_str()), 1);
                mv::CreateDirTree(dir);
            }
        }
    } else if (name == L"del") {
        std::wstring file = Attr(node, L"file"), dir = Attr(node, L"path");
        if (!file.empty()) {
            file = Resolve(file);
            if (MayTouchPath(file)) {
                Notify(window, Translate(L"MAIN", L"Remove file") + mv::Format(L"[%s]", file.c_str()), 1);
                SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!DeleteFileW(file.c_str()))
                    WriteLog(mv::Format(L"DeleteFile[%s] failed: %lu", file.c_str(), GetLastError()));
            }
        }
        if (!dir.empty()) {
            dir = Resolve(dir);
            if (MayTouchPath(dir)) {
                Notify(window, Translate(L"MAIN", L"Remove path") + mv::Format(L"[%s]", dir.c_str()), 1);
                DeleteTreeConfined(dir);
            }
        }
    } else if (name == L"shortcut") {
        const std::wstring file = Attr(node, L"file"), link = Attr(node, L"shortcut");
        if (!file.empty() && !link.empty()) {
            const std::wstring target = Resolve(file), shortcut = Resolve(link);
            const std::wstring icon = Attr(node, L"shortcuticon");
            const int index = static_cast<int>(mv::ParseLong(Attr(node, L"iconindex")));
            if (MayTouchPath(shortcut)) {
                CreateShortcut(target, mv::PathDir(target), shortcut, icon.empty() ? icon : Resolve(icon), index);
                Notify(window, mv::Format(Translate(L"MAIN", L"Create shortcut[%s]...").c_str(), link.c_str()), 1);
            }
        }
    } else if (name == L"ini") {
        const std::wstring file = Resolve(Attr(node, L"file"));
        const std::wstring app = Attr(node, L"app"), key = Attr(node, L"key"), value = Attr(node, L"value");
        if (MayTouchPath(file)) {
            const std::wstring shown = LastComponent(file);
            if (!value.empty()) {
                WritePrivateProfileStringW(app.c_str(), key.c_str(), value.c_str(), file.c_str());
                Notify(window, mv::Format(Translate(L"MAIN", L"Write ini[%s][%s][%s]").c_str(), shown.c_str(), key.c_str(), value.c_str()), 1);
            } else {
                WritePrivateProfileStringW(app.c_str(), key.c_str(), nullptr, file.c_str());
                Notify(window, mv::Format(Translate(L"MAIN", L"Empty ini[%s][%s]").c_str(), shown.c_str(), key.c_str()), 1);
            }
        }
    }
}

void RunTaskNode(IXMLDOMNode* node, HWND window, int depth) {
    if (depth > 256) return;  // a document nested without end cannot exhaust the stack
    DOMNodeType type = NODE_INVALID;
    node->get_nodeType(&type);
    if (type == NODE_ELEMENT) RunTaskElement(node, window);
    mv::ComPtr<IXMLDOMNode> child;
    node->get_firstChild(child.put());
    while (child) {
        RunTaskNode(child.get(), window, depth + 1);
        mv::ComPtr<IXMLDOMNode> next;
        child->get_nextSibling(next.put());
        child = std::move(next);
    }
}

}  // namespace

bool RunFile(const std::wstring& path, const std::wstring& workDir, const std::wstring& params, HWND window, bool wait) {
    const std::wstring file = Resolve(path);
    if (!mv::EndsWithNoCase(file, L".xml")) return StartProgram(file, workDir, params, window, wait);
    RunTaskFile(file, window);
    return true;
}

void RunTaskFile(const std::wstring& path, HWND window) {
    // Task files run on one thread; the count is per thread so that two never share it.
    thread_local int depth = 0;
    if (depth >= kMaxNestedTaskFiles) {
        WriteLog(mv::Format(L"task file[%s] not run: task files nested more than %d deep", path.c_str(),
                            kMaxNestedTaskFiles));
        return;
    }
    struct Nesting {
        Nesting() { ++depth; }
        ~Nesting() { --depth; }
    } nesting;
    mv::ComPtr<IXMLDOMDocument> doc = mv::CreateDomDocument();
    if (!doc) {
        WriteLog(mv::Format(L"task file[%s]: no XML document object", path.c_str()));
        return;
    }
    std::wstring error;
    if (mv::LoadXmlFile(doc.get(), path, &error) != mv::XmlLoad::Ok) {
        WriteLog(mv::Format(L"task file[%s] not run: %s", path.c_str(), error.c_str()));
        return;
    }
    RunTaskNode(doc.get(), window, 0);
}

// --- the run list

RunEntry SplitRunEntry(const std::wstring& packed) {
    std::vector<std::wstring> f = mv::Split(packed, L'9');
    RunEntry e;
    if (f.size() > 0) e.path = ExpandPathMacros(f[0]);
    if (f.size() > 1) e.params = ExpandPathMacros(f[1]);
    if (f.size() > 2) e.wait = f[2];
    return e;
}

bool RunEntryWaits(const std::wstring& wait) {
    const std::wstring w = mv::Trim(mv::ToLower(wait));
    for (const wchar_t* no : {L"", L"no", L"n", L"false", L"f", L"off", L"0"})
        if (w == no) return false;
    std::wstring ones = w;
    for (wchar_t& c : ones)
        if (c == L'y' || c == L't' || c == L'o') c = L'1';
    return ones.find(L'1') != std::wstring::npos;
}

std::wstring RunEntryMessage(const RunEntry& e, bool wait) {
    return mv::RemoveAll(Translate(L"MAIN", L"Run") + mv::Format(L"[%s][%s][%s]", e.path.c_str(), e.params.c_str(), wait ? L"wait" : L"nowait"),
                         L"[]");
}

bool RunCommand(const std::wstring& command, HWND window) {
    const RunEntry e = SplitRunEntry(command);
    const bool wait = RunEntryWaits(e.wait);
    if (window) SendStatusText(window, RunEntryMessage(e, wait), 7);
    WriteLog(RunEntryMessage(e, wait));
    if (!mv::FileExists(e.path)) return false;
    SHELLEXECUTEINFOW sei{};
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.lpFile = e.path.c_str();
    sei.lpParameters = e.params.empty() ? nullptr : e.params.c_str();
    sei.nShow = SW_SHOW;
    if (!ShellExecuteExW(&sei)) {
        WriteLog(mv::Format(L"ShellExecuteEx[%s] failed: %lu", e.path.c_str(), GetLastError()));
        return true;
    }
    mv::Handle process(sei.hProcess);
    if (wait && process) WaitForStartedProgram(process.get(), e.path);
    return true;
}


// --- libraries and shortcuts

bool RegisterLibrary(const std::wstring& path) {
    HMODULE lib = LoadLibraryW(path.c_str());
    if (!lib) {
        WriteLog(mv::Format(L"LoadLibrary[%s] failed: %lu", path.c_str(), GetLastError()));
        return false;
    }
    using RegisterFn = HRESULT(WINAPI*)();
    auto fn = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(GetProcAddress(lib, "DllRegisterServer")));
    if (fn) fn();
    FreeLibrary(lib);
    return fn != nullptr;
}

std::wstring ShortcutFileName(const std::wstring& path) {
    return mv::EndsWithNoCase(path, L".lnk") ? path : path + L".lnk";
}

bool LooksLikeShellLink(const std::string& bytes) {
    static const unsigned char kHeader[] = {0x4C, 0, 0, 0, 0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    return bytes.size() >= sizeof(kHeader) && std::equal(kHeader, kHeader + sizeof(kHeader),
                                                         reinterpret_cast<const unsigned char*>(bytes.data()));
}

bool CreateShortcut(const std::wstring& target, const std::wstring& workDir, const std::wstring& shortcut,
                    const std::wstring& icon, int iconIndex) {
    mv::ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.put())))) {
        WriteLog(L"CoCreateInstance(ShellLink) failed");
        return false;
    }
    if (!mv::FileExists(target)) return false;
    const std::wstring name = ShortcutFileName(shortcut);
    if (mv::DirExists(name)) return false;
    std::string head;
    if (mv::FileExists(name) && (!mv::ReadFileBytes(name, head) || !LooksLikeShellLink(head))) {
        WriteLog(mv::Format(L"not replacing[%s]: it is not a shortcut", name.c_str()));
        return false;
    }
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(workDir.c_str());
    if (!icon.empty() && mv::FileExists(icon)) link->SetIconLocation(icon.c_str(), iconIndex);
    mv::ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put())))) return false;
    mv::CreateDirTree(mv::PathDir(name));
    const HRESULT hr = file->Save(name.c_str(), TRUE);
    if (FAILED(hr)) {
        WriteLog(mv::Format(L"IPersistFile::Save[%s] failed: 0x%08lx", name.c_str(), static_cast<unsigned long>(hr)));
        DeleteFileW(name.c_str());
        return false;
    }
    NoteFileOperation();
    return true;
}

void CreateShortcutsForFile(const std::wstring& target, const std::wstring& icon, int iconIndex,
                            const std::vector<std::wstring>& shortcuts, HWND window) {
    for (const std::wstring& s : shortcuts) {
        Notify(window, mv::Format(Translate(L"MAIN", L"Create shortcut[%s]...").c_str(), s.c_str()), 1);
        if (MayTouchPath(s)) CreateShortcut(target, mv::PathDir(target), s, icon, iconIndex);
    }
}

std::vector<PostTask> PlanPostTasks(DownLoadList& list, const std::vector<int>& installed) {
    std::vector<PostTask> tasks;
    const std::wstring appDir = NormalizePath(GetAppDir());
    // The shortcuts of the installed files first, as tasks of the journal: a kill after the
    // commit leaves them to the next start instead of losing them.
    for (int i : installed) {
        const updatefileinfo& r = list.records[i];
        const std::wstring icon = r.shortcuticon.empty() ? r.shortcuticon : ResolvePath(GetAppDir(), r.shortcuticon);
        const std::wstring target = InstallTargets(r).front();
        for (const std::wstring& link : ShortcutPaths(r))
            tasks.push_back({L"shortcut", target + L"\n" + link + L"\n" + icon + L"\n" + r.iconindex});
    }
    for (const updatefileinfo& r : list.records) {
        if (r.action == 0) continue;
        if (r.action & ActionReboot) list.rebootNeeded = 1;
        const std::vector<std::wstring> targets = InstallTargets(r);
        for (size_t j = 0; j < targets.size(); ++j) {
            const std::wstring& target = targets[j];
            if ((r.action & ActionRegister) && j == 0 && !(r.action & ActionRemove)) {
                // Only a library this update has just put into the application directory.
                if (PathIsBelow(NormalizePath(target), appDir))
                    tasks.push_back({L"register", target});
                else
                    WriteLog(Translate(L"MAIN", L"Refused a path outside the application directory") + L"[" + target + L"]");
            }
            if (!(r.action & ActionRemove) && (r.action & ActionRun)) {
                tasks.push_back({L"run", target});
            }
        }
    }
    for (const std::wstring& command : list.runTasks) tasks.push_back({L"command", command});
    return tasks;
}

void NoteRemovedFiles(HWND window, const DownLoadList& list) {
    for (const updatefileinfo& r : list.records) {
        if (!(r.action & ActionRemove)) continue;
        // The copy step has already taken the file away (its backup is settled there).
        for (const std::wstring& target : InstallTargets(r))
            if (!mv::FileExists(target))
                Notify(window, Translate(L"MAIN", L"Remove file") + L"[" + mv::ReplaceAll(target, GetAppDir(), L"") + L"]", 1);
    }
}

void RunPostTask(const PostTask& task, HWND window) {
    if (task.kind == L"register") {
        Notify(window, Translate(L"MAIN", L"Register file") + L"[" + mv::ReplaceAll(task.text, GetAppDir(), L"") + L"]", 1);
        RegisterLibrary(task.text);
    } else if (task.kind == L"run") {
        RunFile(task.text, L"", L"", window, false);
    } else if (task.kind == L"command") {
        RunCommand(task.text, window);
    } else if (task.kind == L"shortcut") {
        const std::vector<std::wstring> f = mv::Split(task.text, L'\n');
        if (f.size() == 4)
            CreateShortcutsForFile(f[0], f[2], static_cast<int>(mv::ParseLong(f[3])), {f[1]}, window);
    }
}
