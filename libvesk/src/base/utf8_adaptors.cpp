#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <iterator>

#include "files.h"

namespace {
// Keeps the last error of the wrapped call while the converted strings are freed.
struct KeepError {
    DWORD error;
    ~KeepError() { SetLastError(error); }
};

// A null argument stays null; a failed conversion of a non-null one is a failure.
bool convert(const char* in, Utf16& out) {
    if (!in) return true;
    out.reset(to_utf16(in));
    return out != nullptr;
}
}  // namespace

wchar_t* to_utf16(const char* s) {
    if (!s) return nullptr;
    const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    if (n <= 0) return nullptr;
    auto* w = static_cast<wchar_t*>(std::calloc(static_cast<std::size_t>(n), sizeof(wchar_t)));
    if (!w) {
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n) != n) {
        const DWORD e = GetLastError();
        std::free(w);
        SetLastError(e);
        return nullptr;
    }
    return w;
}

char* to_utf8(const wchar_t* s) {
    if (!s) return nullptr;
    const int n = WideCharToMultiByte(CP_UTF8, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return nullptr;
    auto* u = static_cast<char*>(std::calloc(static_cast<std::size_t>(n), 1));
    if (!u) {
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    if (WideCharToMultiByte(CP_UTF8, 0, s, -1, u, n, nullptr, nullptr) != n) {
        const DWORD e = GetLastError();
        std::free(u);
        SetLastError(e);
        return nullptr;
    }
    return u;
}

HANDLE utf8_create_file(const char* path, DWORD desired_access, SECURITY_ATTRIBUTES* sa) {
    Utf16 w;
    if (!convert(path, w)) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(w.get(), desired_access, FILE_SHARE_READ, sa, CREATE_ALWAYS, 0, nullptr);
    KeepError keep{GetLastError()};
    return h;
}

DWORD utf8_file_attributes(const char* path) {
    Utf16 w;
    if (!convert(path, w)) return INVALID_FILE_ATTRIBUTES;
    wchar_t* p = w.get();
    if (p) {
        const std::size_t n = std::wcslen(p);
        if (n >= 2 && p[0] == L'"' && p[n - 1] == L'"') {
            p[n - 1] = L'\0';
            ++p;
        }
    }
    const DWORD a = GetFileAttributesW(p);
    KeepError keep{GetLastError()};
    return a;
}

DWORD utf8_create_directory(const Shell32& shell32, const char* path, SECURITY_ATTRIBUTES* sa) {
    Utf16 w;
    if (!convert(path, w)) return GetLastError();
    const int r = shell32.create_directory(nullptr, w.get(), sa);
    KeepError keep{GetLastError()};
    return static_cast<DWORD>(r);
}

BOOL utf8_shell_execute(const Shell32& shell32, SHELLEXECUTEINFOA* info) {
    if (!info || info->cbSize != sizeof(SHELLEXECUTEINFOW)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    Utf16 verb, file, params, dir, cls;
    const bool has_class = (info->fMask & SEE_MASK_CLASSNAME) != 0;
    if (!convert(info->lpVerb, verb) || !convert(info->lpFile, file) || !convert(info->lpParameters, params) ||
        !convert(info->lpDirectory, dir) || (has_class && !convert(info->lpClass, cls)))
        return FALSE;
    SHELLEXECUTEINFOW w;
    static_assert(sizeof w == sizeof *info, "the two records share one layout");
    std::memcpy(&w, info, sizeof w);
    w.lpVerb = verb.get();
    w.lpFile = file.get();
    w.lpParameters = params.get();
    w.lpDirectory = dir.get();
    w.lpClass = has_class ? cls.get() : nullptr;
    const BOOL ok = shell32.shell_execute_ex(&w);
    KeepError keep{GetLastError()};
    info->hInstApp = w.hInstApp;
    info->hProcess = w.hProcess;
    return ok;
}

BOOL utf8_create_process(const char* command_line, const char* current_directory, STARTUPINFOA* startup,
                         PROCESS_INFORMATION* info) {
    if (!startup || startup->cb != sizeof(STARTUPINFOW)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    Utf16 cmd, dir, desktop, title;
    if (!convert(command_line, cmd) || !convert(current_directory, dir) || !convert(startup->lpDesktop, desktop) ||
        !convert(startup->lpTitle, title))
        return FALSE;
    STARTUPINFOW w;
    static_assert(sizeof w == sizeof *startup, "the two records share one layout");
    std::memcpy(&w, startup, sizeof w);
    w.lpDesktop = desktop.get();
    w.lpTitle = title.get();
    const BOOL ok =
        CreateProcessW(nullptr, cmd.get(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, dir.get(), &w, info);
    KeepError keep{GetLastError()};
    return ok;
}

std::size_t program_directory(char (&out)[kPathBytes]) {
    out[0] = '\0';
    wchar_t module[kPathBytes];
    const DWORD n = GetModuleFileNameW(nullptr, module, static_cast<DWORD>(std::size(module)));
    if (n == 0 || n >= std::size(module)) return 0;  // a cut module path is no path
    Utf8 u(to_utf8(module));
    if (!u) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_OUTOFMEMORY);
        return 0;
    }
    char* cut = std::strrchr(u.get(), '\\');
    if (cut && cut != u.get()) *cut = '\0';
    const std::size_t len = std::strlen(u.get());
    if (len >= sizeof out) return 0;
    std::memcpy(out, u.get(), len + 1);
    return len;
}

char* temp_directory() {
    const DWORD n = GetEnvironmentVariableW(L"TEMP", nullptr, 0);
    if (n == 0) return nullptr;
    Utf16 w(static_cast<wchar_t*>(std::calloc(n, sizeof(wchar_t))));
    if (!w) {
        SetLastError(ERROR_OUTOFMEMORY);
        return nullptr;
    }
    const DWORD got = GetEnvironmentVariableW(L"TEMP", w.get(), n);
    if (got == 0 || got >= n) return nullptr;
    return to_utf8(w.get());
}

vesk_result process_exit_result(HANDLE process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) return VESK_ERR_OTHER;
    if (code == 0) return VESK_OK;
    if (code == STILL_ACTIVE) return VESK_ERR_TIMED_OUT;
    return VESK_ERR_OTHER;
}
