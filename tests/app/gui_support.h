// Reading and driving windows from the outside, as a user's clicks would: texts through
// SendMessageTimeout (GetWindowText does not cross processes), message boxes found by their
// class "#32770" and answered with their buttons, the clipboard. Every wait is a poll with a
// time limit.
#pragma once

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace gui {

constexpr DWORD kSendTimeoutMs = 5000;
constexpr int kPollMs = 10;

// Runs the messages of this thread's windows (if any) while waiting.
inline void pump_messages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) continue;  // a destroyed setup window posts it; the test goes on
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Polls cond until it holds or timeout_ms have passed; pumps this thread's messages meanwhile.
template <class Cond>
bool wait_for(Cond cond, int timeout_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pump_messages();
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, QS_ALLINPUT);
    }
}

inline std::wstring text_of(HWND h) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &length))
        return L"<no answer>";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             kSendTimeoutMs, &copied))
        return L"<no answer>";
    text.resize(copied);
    return text;
}

inline std::wstring class_of(HWND h) {
    wchar_t name[256] = {};
    GetClassNameW(h, name, 256);
    return name;
}

inline bool same_ascii_nocase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (towupper(a[i]) != towupper(b[i])) return false;
    return true;
}

struct WindowQuery {
    DWORD pid;
    const wchar_t* cls;
    std::vector<HWND> found;
};

inline BOOL CALLBACK collect_window(HWND h, LPARAM lp) {
    auto* q = reinterpret_cast<WindowQuery*>(lp);
    DWORD owner = 0;
    GetWindowThreadProcessId(h, &owner);
    if ((q->pid == 0 || owner == q->pid) && class_of(h) == q->cls) q->found.push_back(h);
    return TRUE;
}

// Top-level windows of one process (0: any) with the given class, visible or not.
inline std::vector<HWND> top_windows(DWORD pid, const wchar_t* cls) {
    WindowQuery query{pid, cls, {}};
    EnumWindows(collect_window, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

inline std::vector<HWND> children(HWND parent) {
    std::vector<HWND> list;
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) list.push_back(c);
    return list;
}

// What a message box shows.
struct Box {
    HWND hwnd = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring text;
    HICON icon = nullptr;
    std::vector<int> buttons;  // control IDs of the push buttons, in order
    int default_button = 0;    // the ID DM_GETDEFID reports, 0 when none
};

inline Box read_box(HWND h) {
    Box b;
    b.hwnd = h;
    b.owner = GetWindow(h, GW_OWNER);
    b.caption = text_of(h);
    for (HWND c : children(h)) {
        const std::wstring cls = class_of(c);
        const LONG style = GetWindowLongW(c, GWL_STYLE);
        if (same_ascii_nocase(cls, L"Static")) {
            if ((style & SS_TYPEMASK) == SS_ICON) {
                DWORD_PTR icon = 0;
                SendMessageTimeoutW(c, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &icon);
                b.icon = reinterpret_cast<HICON>(icon);
            } else {
                const std::wstring t = text_of(c);
                if (!t.empty()) b.text = t;
            }
        } else if (same_ascii_nocase(cls, L"Button") && (GetWindowLongW(c, GWL_STYLE) & WS_VISIBLE)) {
            b.buttons.push_back(GetDlgCtrlID(c));
        }
    }
    // The default button carries the default push-button style (Wine's boxes leave DM_GETDEFID
    // at IDOK whatever they show, so that is only the fallback).
    for (HWND c : children(h))
        if (same_ascii_nocase(class_of(c), L"Button") &&
            (GetWindowLongW(c, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            b.default_button = GetDlgCtrlID(c);
    DWORD_PTR def = 0;
    if (!b.default_button && SendMessageTimeoutW(h, DM_GETDEFID, 0, 0, SMTO_ABORTIFHUNG, kSendTimeoutMs, &def) &&
        HIWORD(def) == DC_HASDEFID)
        b.default_button = LOWORD(def);
    return b;
}

// Waits for a message box of the process (0: any) and reads it; hwnd stays null on timeout.
inline Box wait_for_box(DWORD pid, int timeout_ms) {
    HWND found = nullptr;
    wait_for(
        [&] {
            for (HWND h : top_windows(pid, L"#32770"))
                if (IsWindowVisible(h)) found = h;
            return found != nullptr;
        },
        timeout_ms);
    return found ? read_box(found) : Box{};
}

// Presses one of the box's buttons, as a click would.
inline void answer(const Box& box, int id) {
    PostMessageW(box.hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(box.hwnd, id)));
}

// Answers the first box that appears while it runs (from a thread of its own, so that the
// thread that shows the box may block in it). seen() says whether one came, box() what it showed.
class Answerer {
public:
    Answerer(DWORD pid, int id, int timeout_ms) {
        // A new thread starts on the process's first desktop, not on the one this thread uses.
        const HDESK desktop = GetThreadDesktop(GetCurrentThreadId());
        thread_ = std::thread([this, desktop, pid, id, timeout_ms] {
            SetThreadDesktop(desktop);
            box_ = wait_for_box(pid, timeout_ms);
            if (box_.hwnd) answer(box_, id);
        });
    }
    Answerer(const Answerer&) = delete;
    Answerer& operator=(const Answerer&) = delete;
    ~Answerer() { finish(); }
    void finish() {
        if (thread_.joinable()) thread_.join();
    }
    const Box& box() {
        finish();
        return box_;
    }
    bool seen() { return box().hwnd != nullptr; }

private:
    Box box_;
    std::thread thread_;
};

// The Unicode text on the clipboard; "<none>" when there is none or it cannot be read.
inline std::wstring clipboard_text() {
    std::wstring text = L"<none>";
    bool opened = false;
    wait_for([&] { return opened = OpenClipboard(nullptr) != FALSE; }, 5000);
    if (!opened) return L"<clipboard busy>";
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = p;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

inline void put_clipboard_text(const std::wstring& text) {
    if (!OpenClipboard(nullptr)) return;
    EmptyClipboard();
    if (HGLOBAL m = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t))) {
        auto* p = static_cast<wchar_t*>(GlobalLock(m));
        std::copy(text.c_str(), text.c_str() + text.size() + 1, p);
        GlobalUnlock(m);
        if (!SetClipboardData(CF_UNICODETEXT, m)) GlobalFree(m);
    }
    CloseClipboard();
}

inline std::vector<std::wstring> split_lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos) {
            if (start < text.size()) lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

// Where the system has no private namespaces (Wine), the library's guards fall back to global
// names and say so once per process, as a warning the pane shows. Windows has them since Vista.
inline bool has_private_namespaces() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel && GetProcAddress(kernel, "CreatePrivateNamespaceW") &&
           GetProcAddress(kernel, "OpenPrivateNamespaceW");
}
inline bool is_guard_fallback(const std::wstring& line) {
    return line.rfind(L"libvesk:warning [", 0) == 0 &&
           line.find(L"] No private namespaces on this system - guarding with \"Global\\") != std::wstring::npos;
}
// The pane's lines without that system note, which only a system without private namespaces shows.
inline std::vector<std::wstring> pane_lines(const std::wstring& text) {
    std::vector<std::wstring> lines = split_lines(text);
    if (!has_private_namespaces())
        lines.erase(std::remove_if(lines.begin(), lines.end(), is_guard_fallback), lines.end());
    return lines;
}

inline std::wstring widen(const std::string& s) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

inline std::string narrow(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

// The names of the package directories under the common application-data folder.
inline std::vector<std::wstring> package_directories() {
    std::vector<std::wstring> names;
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((std::wstring(folder) + L"\\Morvane-Driver-*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            names.push_back(std::wstring(folder) + L"\\" + data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// A DACL as the tests compare it: "protected" when nothing is inherited from the parent, else
// "inherits", then one " SID:mask:flags" per allowed ACE (other ACE types by number).
inline std::wstring describe_descriptor(PSECURITY_DESCRIPTOR sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return L"<no dacl>";
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    std::wstring d = (control & SE_DACL_PROTECTED) ? L"protected" : L"inherits";
    for (DWORD i = 0; present && dacl && i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) continue;
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            d += L" type" + std::to_wstring(header->AceType);
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        wchar_t* sid = nullptr;
        ConvertSidToStringSidW(reinterpret_cast<PSID>(&allowed->SidStart), &sid);
        wchar_t entry[160];
        swprintf(entry, 160, L" %ls:%08lx:%02x", sid ? sid : L"?", static_cast<unsigned long>(allowed->Mask),
                 static_cast<unsigned>(header->AceFlags));
        d += entry;
        LocalFree(sid);
    }
    return d;
}

inline std::wstring describe_dacl(const std::wstring& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr,
                              nullptr, &sd) != ERROR_SUCCESS)
        return L"<unreadable>";
    std::wstring d = describe_descriptor(sd);
    LocalFree(sd);
    return d;
}

inline std::wstring describe_sddl(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
        return L"<bad sddl>";
    std::wstring d = describe_descriptor(sd);
    LocalFree(sd);
    return d;
}

// What this system keeps of a directory's descriptor, read back from a probe directory made
// beside the package directories with the given SDDL (null: no descriptor). Windows keeps the
// DACL as given; Wine keeps only what Unix permission bits can carry and makes up the rest.
inline std::wstring stored_dacl_for(const wchar_t* sddl) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        return L"<no folder>";
    const std::wstring probe = std::wstring(folder) + L"\\vesk-dacl-probe-" + std::to_wstring(GetCurrentProcessId());
    RemoveDirectoryW(probe.c_str());
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (sddl && !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
        return L"<bad sddl>";
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    const BOOL made = CreateDirectoryW(probe.c_str(), sd ? &sa : nullptr);
    if (sd) LocalFree(sd);
    if (!made) return L"<probe not made>";
    std::wstring d = describe_dacl(probe);
    RemoveDirectoryW(probe.c_str());
    return d;
}

// "O:<owner SID> " and the DACL as describe_descriptor gives it.
inline std::wstring describe_owner_and_dacl(const std::wstring& path) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    PSID owner = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              &owner, nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS)
        return L"<unreadable>";
    wchar_t* text = nullptr;
    std::wstring d = L"O:";
    d += owner && ConvertSidToStringSidW(owner, &text) ? text : L"?";
    LocalFree(text);
    d += L" " + describe_descriptor(sd);
    LocalFree(sd);
    return d;
}

// Every file and directory below dir, as full paths.
inline void list_entries(const std::wstring& dir, std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        out.push_back(dir + L"\\" + name);
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) list_entries(dir + L"\\" + name, out);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

// What this system keeps of a file and a subdirectory made the library's way (owner
// Administrators, no DACL) inside a probe directory made with the given SDDL.
struct EntryProbe {
    std::wstring file, directory;
};
inline EntryProbe probe_entries(const wchar_t* sddl) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return {};
    const std::wstring probe = std::wstring(folder) + L"\\vesk-entry-probe-" + std::to_wstring(GetCurrentProcessId());
    PSECURITY_DESCRIPTOR parent = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &parent, nullptr)) return {};
    SECURITY_ATTRIBUTES parent_sa = {sizeof parent_sa, parent, FALSE};
    const BOOL made = CreateDirectoryW(probe.c_str(), &parent_sa);
    LocalFree(parent);
    if (!made) return {};
    PSID admins = nullptr;
    ConvertStringSidToSidW(L"BA", &admins);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorOwner(&sd, admins, FALSE);
    SECURITY_ATTRIBUTES sa = {sizeof sa, &sd, FALSE};
    EntryProbe p;
    const std::wstring file = probe + L"\\f", sub = probe + L"\\d";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        p.file = describe_owner_and_dacl(file);
    }
    if (CreateDirectoryW(sub.c_str(), &sa)) p.directory = describe_owner_and_dacl(sub);
    LocalFree(admins);
    DeleteFileW(file.c_str());
    RemoveDirectoryW(sub.c_str());
    RemoveDirectoryW(probe.c_str());
    return p;
}

}  // namespace gui
