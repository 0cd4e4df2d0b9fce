// Finding Windows' consent and credential prompts by their window and, above all, by the
// program that shows them.
#include "security_prompt.h"

#include <cstring>
#include <iterator>

#include "owners.h"

namespace {
constexpr char kSecurityPromptTitle[] = "Windows Security";
constexpr const char* kSecurityPromptClasses[] = {"#32770", "Credential Dialog Xaml Host"};
// The consent (UAC) and credential dialogs' programs, in the system directory.
constexpr const wchar_t* kPromptPrograms[] = {L"consent.exe", L"CredentialUIBroker.exe"};
constexpr std::size_t kWindowTitleBytes = 256;
constexpr std::size_t kImagePathChars = 1024;

wchar_t fold(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool equal_nocase(const wchar_t* a, const wchar_t* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

bool shown_by_prompt_program(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == 0) return false;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return false;
    wchar_t image[kImagePathChars];
    DWORD size = static_cast<DWORD>(std::size(image));
    if (!QueryFullProcessImageNameW(process.get(), 0, image, &size)) return false;
    wchar_t system[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system, static_cast<UINT>(std::size(system)));
    if (n == 0 || n >= std::size(system)) return false;
    return is_prompt_program(image, system);
}

struct Search {
    HWND found = nullptr;
};

BOOL CALLBACK find_prompt_proc(HWND window, LPARAM context) {
    if (!IsWindowVisible(window)) return TRUE;
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    if (!(style & (WS_POPUP | WS_BORDER | WS_SYSMENU))) return TRUE;
    char title[kWindowTitleBytes];
    title[0] = '\0';
    GetWindowTextA(window, title, static_cast<int>(sizeof title));
    if (std::strcmp(title, kSecurityPromptTitle) != 0) return TRUE;
    // The consent and credential dialogs, not the Windows Security app of the same title.
    char class_name[kWindowTitleBytes];
    if (!GetClassNameA(window, class_name, static_cast<int>(sizeof class_name))) return TRUE;
    bool prompt_class = false;
    for (const char* prompt : kSecurityPromptClasses) prompt_class |= std::strcmp(class_name, prompt) == 0;
    if (prompt_class && shown_by_prompt_program(window)) reinterpret_cast<Search*>(context)->found = window;
    return TRUE;  // the last match wins
}
}  // namespace

bool is_prompt_program(const wchar_t* image_path, const wchar_t* system_directory) {
    if (!image_path || !system_directory) return false;
    std::size_t dir = wcslen(system_directory);
    while (dir > 0 && system_directory[dir - 1] == L'\\') --dir;
    if (wcslen(image_path) <= dir + 1 || !equal_nocase(image_path, system_directory, dir) || image_path[dir] != L'\\')
        return false;
    const wchar_t* name = image_path + dir + 1;
    for (const wchar_t* program : kPromptPrograms)
        if (wcslen(name) == wcslen(program) && equal_nocase(name, program, wcslen(program))) return true;
    return false;
}

HWND find_security_prompt() {
    Search search;
    EnumWindows(find_prompt_proc, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool pause_for_security_prompt(PromptPause& pause) {
    if (pause.paused_ticks >= kMaxPromptPauseTicks || !find_security_prompt()) return false;
    ++pause.paused_ticks;
    return true;
}
