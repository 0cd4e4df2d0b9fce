// Scratch files and directories of the Windows tests: made with a given security descriptor,
// linked by junctions, and removed again without following a link out of the tree.
#pragma once

#include <windows.h>
#include <sddl.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace scratch {

inline bool path_exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

inline bool dir_exists(const std::wstring& p) {
    const DWORD a = GetFileAttributesW(p.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// "%TEMP%vesk-<stem>-<pid>", made if absent: a scratch directory no other test run shares.
inline std::string own_temp_dir(const char* stem) {
    char base[MAX_PATH];
    GetTempPathA(MAX_PATH, base);
    char dir[MAX_PATH];
    std::snprintf(dir, sizeof dir, "%svesk-%s-%lu", base, stem, GetCurrentProcessId());
    CreateDirectoryA(dir, nullptr);
    return dir;
}

// A directory with the SDDL's descriptor, or with default security (null).
inline bool make_dir(const std::wstring& path, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (sddl && !ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd, nullptr))
        return false;
    SECURITY_ATTRIBUTES sa = {sizeof sa, sd, FALSE};
    const BOOL made = CreateDirectoryW(path.c_str(), sd ? &sa : nullptr);
    LocalFree(sd);
    return made != FALSE;
}

inline bool make_file(const std::wstring& path) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    CloseHandle(f);
    return true;
}

// A directory junction at `link` to `target`; false where the system has none (Wine 8).
inline bool make_junction(const std::wstring& link, const std::wstring& target) {
    if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
    HANDLE h = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    bool ok = false;
    if (h != INVALID_HANDLE_VALUE) {
        const std::wstring nt = L"\\??\\" + target;
        const WORD name_bytes = static_cast<WORD>(nt.size() * sizeof(wchar_t));
        std::vector<BYTE> buffer(16 + name_bytes + 2 * sizeof(wchar_t));
        const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
        // Data length; substitute name offset and length; print name offset and length (empty).
        const WORD fields[6] = {
            static_cast<WORD>(buffer.size() - 8), 0, 0, name_bytes, static_cast<WORD>(name_bytes + sizeof(wchar_t)), 0};
        std::memcpy(buffer.data(), &tag, 4);
        std::memcpy(buffer.data() + 4, fields, sizeof fields);
        std::memcpy(buffer.data() + 16, nt.c_str(), name_bytes);
        DWORD got = 0;
        ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, 0,
                             &got, nullptr) != FALSE;
        CloseHandle(h);
    }
    if (!ok) RemoveDirectoryW(link.c_str());
    return ok;
}

// Removes a tree, never descending through a junction or link; a file still held by a program on
// its way out gets five seconds.
inline void remove_tree(const std::wstring& path) {
    const DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW d;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &d);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring n = d.cFileName;
                if (n != L"." && n != L"..") remove_tree(path + L"\\" + n);
            } while (FindNextFileW(find, &d));
            FindClose(find);
        }
    }
    if (a & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryW(path.c_str());
        return;
    }
    for (int i = 0; i < 50 && !DeleteFileW(path.c_str()); ++i) {
        const DWORD e = GetLastError();
        if (e != ERROR_SHARING_VIOLATION && e != ERROR_ACCESS_DENIED) return;
        Sleep(100);
    }
}

// For the tests that work in ANSI paths (TEMP and the build tree: ASCII here).
inline void remove_tree(const std::string& path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (n <= 0) return;
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    remove_tree(w);
}

}  // namespace scratch
