#include "old_packages.h"

#include <windows.h>
#include <aclapi.h>

#include <string>

#include "owners.h"
#include "package_name.h"

namespace {
constexpr int kMaxDepth = 4;  // a package holds one level of subdirectories

// The object itself, never what a reparse point names; held without delete sharing, so that
// nobody renames or replaces it while it is being emptied.
HANDLE open_here(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access | DELETE | READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool is_reparse_point(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    return !GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool delete_on_close(HANDLE h) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool is_sid(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof buffer;
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

bool is_token_user(PSID sid) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
    UniqueHandle token(raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(raw, TokenUser, buffer, sizeof buffer, &size) &&
           EqualSid(sid, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// The package directory's list as a system keeps it: access only for SYSTEM, Administrators,
// OWNER RIGHTS and the owner. Windows keeps the protected list as created; Wine turns it into
// SYSTEM and the owner, and adds Everyone to a directory made without one.
bool is_package_dacl(PACL dacl, PSID owner) {
    if (!dacl || dacl->AceCount == 0) return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        if (!is_sid(sid, WinLocalSystemSid) && !is_sid(sid, WinBuiltinAdministratorsSid) &&
            !is_sid(sid, WinCreatorOwnerRightsSid) && !EqualSid(sid, owner))
            return false;
    }
    return true;
}

bool made_by_this_program(HANDLE h, const std::wstring& name) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    UniqueLocal sd;
    return GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                           &dacl, nullptr, sd.put()) == ERROR_SUCCESS &&
           is_own_package(name, owner, dacl);
}

// Removes what is in `path` and then the directory held by `dir`; anything that is a reparse
// point stays, and so does everything above it. The entries are read through the held handle,
// which no other opener can share for deletion.
bool remove_tree(HANDLE dir, const std::wstring& path, int depth) {
    if (depth >= kMaxDepth) return false;
    alignas(LARGE_INTEGER) BYTE buffer[16384];
    bool whole = true;
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(dir, kind, buffer, sizeof buffer)) {
        kind = FileIdBothDirectoryInfo;
        for (const BYTE* at = buffer;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                const std::wstring full = path + L"\\" + name;
                const bool directory = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                UniqueFile child;
                if (!(entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                    child.reset(open_here(full, directory ? FILE_LIST_DIRECTORY : 0));
                if (!child || is_reparse_point(child.get()) ||
                    (directory ? !remove_tree(child.get(), full, depth + 1) : !delete_on_close(child.get())))
                    whole = false;
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
    if (GetLastError() != ERROR_NO_MORE_FILES) whole = false;
    return whole && delete_on_close(dir);
}

bool same_name(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}
}  // namespace

// Elevated Windows makes the Administrators group the owner of what this program creates; Wine
// names the user instead. Neither lets a removal go through a reparse point, which is what
// matters for a planted one.
bool is_own_package(std::wstring_view name, PSID owner, PACL dacl) {
    if (!is_package_directory_name(name) || !owner || !IsValidSid(owner)) return false;
    if (!is_sid(owner, WinBuiltinAdministratorsSid) && !is_token_user(owner)) return false;
    return is_package_dacl(dacl, owner);
}

int remove_earlier_packages(const wchar_t* current) {
    const std::wstring path = current;
    const std::size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos || cut == 0) return 0;
    const std::wstring parent = path.substr(0, cut);
    const std::wstring own = path.substr(cut + 1);
    WIN32_FIND_DATAW entry{};
    UniqueFind listing(FindFirstFileW((parent + L"\\*").c_str(), &entry));
    if (!listing) return 0;
    int removed = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        if (!is_package_directory_name(name) || same_name(name, own)) continue;
        const std::wstring full = parent + L"\\" + name;
        UniqueFile dir(open_here(full, FILE_LIST_DIRECTORY));
        if (!dir || is_reparse_point(dir.get()) || !made_by_this_program(dir.get(), name)) continue;
        if (remove_tree(dir.get(), full, 0)) ++removed;
    } while (FindNextFileW(listing.get(), &entry));
    return removed;
}
