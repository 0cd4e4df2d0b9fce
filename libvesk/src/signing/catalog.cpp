// The package's catalog: one member per listed file below the package directory, written by
// the platform's catalog services so that Windows reads it back the way it wrote it.
#include "catalog.h"
#include "libvesk.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>
#include <mssip.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "ascii.h"
#include "error_text.h"
#include "pki_error_text.h"
#include "files.h"
#include "format_into.h"
#include "hex_digits.h"
#include "owners.h"
#include "vesk_log.h"

namespace {
constexpr std::size_t kCatPathBytes = 261;  // the scan's fixed path buffers
constexpr std::size_t kHashBytes = 20;      // SHA-1
constexpr std::size_t kSpcBytes = 64;       // the encoded SPC value
constexpr DWORD kAttrFlags = CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_NAMEASCII;
constexpr DWORD kMemberVersion = 0x200;

const wchar_t kOsList[] = L"7_X86,7_X64,8_X86,8_X64,8_ARM,10_X86,10_X64,10_ARM";
const wchar_t kOsAttr[] = L"2:5.1,2:5.2,2:6.0,2:6.1";
const GUID kPeSubject = {0xC689AAB8, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
const GUID kInfSubject = {0xDE351A42, 0x8E59, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

Utf16 utf16_or_null(const char* s) {
    Utf16 w(s ? to_utf16(s) : nullptr);
    if (w && w.get()[0] == L'\0') w.reset();  // an empty string counts as a failed conversion
    return w;
}

DWORD wide_bytes(const wchar_t* s) { return static_cast<DWORD>((std::wcslen(s) + 1) * sizeof(wchar_t)); }

enum class FileKind { unhandled, pe, inf };

FileKind file_kind(const char* name) {
    const char* dot = std::strrchr(name, '.');
    if (!dot || dot == name) return FileKind::unhandled;  // ".inf" alone has no name before the dot
    char ext[8];
    if (format_into(ext, sizeof ext, "%s", dot + 1) != Fit::ok) return FileKind::unhandled;
    ascii_lower_in_place(ext);
    if (!std::strcmp(ext, "dll") || !std::strcmp(ext, "sys") || !std::strcmp(ext, "exe")) return FileKind::pe;
    if (!std::strcmp(ext, "inf")) return FileKind::inf;
    return FileKind::unhandled;
}
}  // namespace

bool CalcHash(const WinTrust& wintrust, uint8_t* hash, const char* path) {
    Utf16 wide(utf16_or_null(path));
    if (!wide) return false;
    UniqueFile file(
        CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD size = kHashBytes;
    return wintrust.calc_hash(file.get(), &size, hash, 0) != FALSE;
}

bool AddFileHash(const WinTrust& wintrust, const Crypt32& crypt32, HANDLE cat, const char* file_name,
                 const uint8_t* hash) {
    wchar_t tag[kHashBytes * 2 + 1];
    write_hex_upper(hash, kHashBytes, tag);

    Utf16 name(utf16_or_null(file_name));
    if (!name) return false;
    ascii_lower_in_place(name.get());

    const FileKind kind = file_kind(file_name);
    if (kind == FileKind::unhandled) {
        vesk_log_message(VESK_LOG_WARNING, "AddFileHash", "Unhandled file type: '%s' - ignoring", file_name);
        return false;
    }
    vesk_log_message(VESK_LOG_DEBUG, "AddFileHash", kind == FileKind::pe ? "'%s': PE type" : "'%s': INF type",
                     file_name);

    wchar_t obsolete[] = L"<<<Obsolete>>>";
    SPC_LINK link{};
    link.dwLinkChoice = SPC_FILE_LINK_CHOICE;
    link.pwszFile = obsolete;
    BYTE pe_flags = 0xA0;
    SPC_PE_IMAGE_DATA pe_data{};
    pe_data.Flags.cbData = 1;
    pe_data.Flags.pbData = &pe_flags;
    pe_data.Flags.cUnusedBits = 0;
    pe_data.pFile = &link;
    char pe_oid[] = SPC_PE_IMAGE_DATA_OBJID;
    char cab_oid[] = SPC_CAB_DATA_OBJID;
    char* const data_oid = kind == FileKind::pe ? pe_oid : cab_oid;
    const void* const spc_value = kind == FileKind::pe ? static_cast<const void*>(&pe_data) : &link;

    BYTE encoded[kSpcBytes];
    DWORD encoded_size = sizeof encoded;
    if (!crypt32.encode_object(X509_ASN_ENCODING, data_oid, spc_value, encoded, &encoded_size)) {
        vesk_log_message(VESK_LOG_WARNING, "AddFileHash", "Unable to encode SPC Image Data: %s", PkiErrorText(0));
        return false;
    }

    char sha1_oid[] = szOID_OIWSEC_sha1;
    BYTE digest[kHashBytes];
    std::memcpy(digest, hash, kHashBytes);
    SIP_INDIRECT_DATA sip{};
    sip.Data.pszObjId = data_oid;
    sip.Data.Value.cbData = encoded_size;
    sip.Data.Value.pbData = encoded;
    sip.DigestAlgorithm.pszObjId = sha1_oid;
    sip.Digest.cbData = kHashBytes;
    sip.Digest.pbData = digest;
    GUID subject = kind == FileKind::pe ? kPeSubject : kInfSubject;

    CRYPTCATMEMBER* member =
        wintrust.cat_put_member(cat, nullptr, tag, &subject, kMemberVersion, sizeof sip, reinterpret_cast<BYTE*>(&sip));
    if (!member) {
        vesk_log_message(VESK_LOG_WARNING, "AddFileHash", "Unable to create cat entry for file '%s': %s", file_name,
                         PkiErrorText(0));
        return false;
    }
    wchar_t file_attr[] = L"File";
    wchar_t osattr_attr[] = L"OSAttr";
    wchar_t os_value[std::size(kOsAttr)];
    std::memcpy(os_value, kOsAttr, sizeof kOsAttr);
    if (!wintrust.cat_put_attr(cat, member, file_attr, kAttrFlags, wide_bytes(name.get()),
                               reinterpret_cast<BYTE*>(name.get())) ||
        !wintrust.cat_put_attr(cat, member, osattr_attr, kAttrFlags, sizeof os_value,
                               reinterpret_cast<BYTE*>(os_value))) {
        vesk_log_message(VESK_LOG_WARNING, "AddFileHash", "Unable to create attributes for file '%s': %s", file_name,
                         PkiErrorText(0));
        return false;
    }
    return true;
}

void ScanDirAndHash(const CatalogScan& scan, const char* relative) {
    const std::size_t root_len = std::strlen(scan.root);
    const std::size_t rel_len = std::strlen(relative);
    if (root_len + rel_len + 4 > kCatPathBytes) {
        vesk_log_message(VESK_LOG_WARNING, "ScanDirAndHash", "Path overflow");
        return;
    }
    char pattern[kCatPathBytes];
    if (format_into(pattern, sizeof pattern, "%s\\%s\\*", scan.root, relative) != Fit::ok) return;
    Utf16 wide_pattern(utf16_or_null(pattern));
    if (!wide_pattern || std::wcslen(wide_pattern.get()) >= MAX_PATH) return;

    WIN32_FIND_DATAW entry{};
    HANDLE raw = FindFirstFileW(wide_pattern.get(), &entry);
    if (raw == INVALID_HANDLE_VALUE) return;
    UniqueFind listing(raw);
    do {
        char name[kSearchRootBytes];
        if (WideCharToMultiByte(CP_UTF8, 0, entry.cFileName, -1, name, sizeof name, nullptr, nullptr) <= 0) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!std::strcmp(name, ".") || !std::strcmp(name, "..")) continue;
            if (rel_len + std::strlen(name) + 2 > kCatPathBytes) {
                vesk_log_message(VESK_LOG_WARNING, "ScanDirAndHash", "path overflow");
                return;  // the rest of this directory stays unseen
            }
            char sub[kCatPathBytes];
            if (format_into(sub, sizeof sub, "%s\\%s", relative, name) != Fit::ok) return;
            ScanDirAndHash(scan, sub);
            continue;
        }
        char lower[kSearchRootBytes];
        std::memcpy(lower, name, sizeof lower);
        ascii_lower_in_place(lower);
        for (uint32_t i = 0; i < scan.count; ++i) {
            if (!scan.names[i] || std::strcmp(lower, scan.names[i]) != 0) continue;
            char full[kCatPathBytes - 1];  // cut to 259 characters
            (void)format_into(full, sizeof full, "%s%s\\%s", scan.root, relative, name);
            uint8_t hash[kHashBytes];
            if (CalcHash(scan.wintrust, hash, full) && AddFileHash(scan.wintrust, scan.crypt32, scan.cat, name, hash))
                vesk_log_message(VESK_LOG_INFO, "ScanDirAndHash", "added hash for '%s'", full);
            else
                vesk_log_message(VESK_LOG_WARNING, "ScanDirAndHash", "could not add hash for '%s' - ignored", full);
            break;
        }
    } while (FindNextFileW(listing.get(), &entry));
    // Any other failure than the end of the listing also ends the scan of this directory.
}

bool CreateCat(const char* cat_path, const char* hw_id, const char* search_dir, const char* const* file_names,
               uint32_t file_count) {
    // Both libraries for the whole catalog: every file hashed and added uses them.
    const std::optional<WinTrust> wintrust = load_wintrust("CreateCat");
    const std::optional<Crypt32> crypt32 = load_crypt32("CreateCat");
    if (!wintrust || !crypt32) return false;

    UniqueCryptProv prov;
    if (!CryptAcquireContextW(prov.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Unable to acquire crypt context for cat creation");
        return false;
    }
    Utf16 wide_path(utf16_or_null(cat_path));
    Utf16 wide_hwid(utf16_or_null(hw_id));
    if (!wide_path || !wide_hwid) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Unable to create file '%s': %s",
                         cat_path ? cat_path : "(null)", PkiErrorText(ERROR_INVALID_PARAMETER));
        return false;
    }
    ascii_lower_in_place(wide_hwid.get());

    HANDLE opened = wintrust->cat_open(wide_path.get(), CRYPTCAT_OPEN_CREATENEW, prov.get(), 0, 0);
    const OwnedCatalog cat(opened == INVALID_HANDLE_VALUE ? nullptr : opened, CatClose{wintrust->cat_close});
    if (!cat) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Unable to create file '%s': %s", cat_path, PkiErrorText(0));
        return false;
    }
    wchar_t hwid_name[] = L"HWID1";
    wchar_t os_name[] = L"OS";
    wchar_t os_value[std::size(kOsList)];
    std::memcpy(os_value, kOsList, sizeof kOsList);
    if (!wintrust->cat_put_cat_attr(cat.get(), hwid_name, kAttrFlags, wide_bytes(wide_hwid.get()),
                                    reinterpret_cast<BYTE*>(wide_hwid.get()))) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Failed to set HWID1 cat attribute: %s", PkiErrorText(0));
        return false;
    }
    if (!wintrust->cat_put_cat_attr(cat.get(), os_name, kAttrFlags, sizeof os_value,
                                    reinterpret_cast<BYTE*>(os_value))) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Failed to set OS cat attribute: %s", PkiErrorText(0));
        return false;
    }

    // The search root: backslashes only, made absolute, UTF-8.
    CatalogScan scan{*wintrust, *crypt32, cat.get(), {}, nullptr, file_count};
    bool root_ok = false;
    if (search_dir) {
        Utf16 dir(utf16_or_null(search_dir));
        if (dir) {
            for (wchar_t* p = dir.get(); *p; ++p)
                if (*p == L'/') *p = L'\\';
            wchar_t full[MAX_PATH];
            const DWORD n = GetFullPathNameW(dir.get(), static_cast<DWORD>(std::size(full)), full, nullptr);
            if (n > 0 && n < std::size(full)) {
                const int bytes =
                    WideCharToMultiByte(CP_UTF8, 0, full, -1, scan.root, sizeof scan.root, nullptr, nullptr);
                root_ok = bytes > 0;
            }
        }
    }
    if (!root_ok) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Unable to get full path for '%s'.\n",
                         search_dir ? search_dir : "(null)");
        return false;
    }

    const std::size_t slots = file_count ? file_count : 1;
    std::unique_ptr<char*[], FreeDeleter> match(static_cast<char**>(std::calloc(slots, sizeof(char*))));
    if (!match) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Unable allocate local file list");
        return false;
    }
    for (uint32_t i = 0; i < file_count; ++i) {
        match[i] = file_names && file_names[i] ? _strdup(file_names[i]) : nullptr;
        if (!match[i]) {
            vesk_log_message(VESK_LOG_WARNING, "CreateCat", "'%s' could not be duplicated and will be ignored",
                             file_names && file_names[i] ? file_names[i] : "(null)");
            continue;
        }
        ascii_lower_in_place(match[i]);
    }
    scan.names = match.get();
    ScanDirAndHash(scan, "");
    for (uint32_t i = 0; i < file_count; ++i) std::free(match[i]);
    match.reset();

    if (!wintrust->cat_persist(cat.get())) {
        vesk_log_message(VESK_LOG_WARNING, "CreateCat", "Unable to sort file: %s", PkiErrorText(0));
        return false;
    }
    vesk_log_message(VESK_LOG_INFO, "CreateCat", "Successfully created file '%s'", cat_path);
    return true;
}
