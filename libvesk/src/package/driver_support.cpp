#include "driver_support.h"
#include "libvesk.h"

#include <cstring>

#include "error_text.h"
#include "files.h"
#include "load_library.h"
#include "payload.h"
#include "payload_extract.h"
#include "sizes.h"
#include "vesk_log.h"

VS_FIXEDFILEINFO version_cache[kVersionCacheSlots] = {};

namespace {
// The payload file whose version resource stands for each kind ("" for none).
constexpr const char* kVersionSource[kVersionCacheSlots] = {"winusbcoinstaller2.dll", "libusb0.dll", "libusbK.dll", ""};
// Seconds from 1601-01-01 to 1970-01-01, and file-time units per second.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr int64_t kFileTimeUnits = 10000000LL;

// When the first load gave no handle, each lookup tries to find the library again.
template <class Fn>
bool lookup(UniqueModule& version, const char* name, Fn*& out) {
    if (!version) version.reset(load_system_library("Version"));
    return resolve(version.get(), "get_version_info", "Version", name, out);
}
}  // namespace

vesk_result get_version_info(int kind, VS_FIXEDFILEINFO* info) {
    UniqueModule version(load_system_library("Version"));
    if (static_cast<unsigned>(kind) >= kVersionCacheSlots || !info) return VESK_ERR_INVALID_PARAMETER;
    VS_FIXEDFILEINFO& slot = version_cache[kind];
    if (slot.dwSignature != 0) {
        if (info != &slot) *info = slot;
        return VESK_OK;
    }
    decltype(&::VerQueryValueW) query = nullptr;
    decltype(&::GetFileVersionInfoW) read_info = nullptr;
    decltype(&::GetFileVersionInfoSizeW) read_size = nullptr;
    if (!lookup(version, "VerQueryValueW", query) || !lookup(version, "GetFileVersionInfoW", read_info) ||
        !lookup(version, "GetFileVersionInfoSizeW", read_size))
        return VESK_ERR_NO_RESOURCE;

    const payload_entry* row = nullptr;
    for (const payload_entry& r : payload_table) {
        if (std::strcmp(r.file_name, kVersionSource[kind]) == 0) {
            row = &r;
            break;
        }
    }
    if (!row) return VESK_ERR_NOT_FOUND;

    Utf8 temp(temp_directory());
    if (!temp) {
        vesk_log_message(VESK_LOG_WARNING, "get_version_info", "Unable to use TEMP to extract file");
        return VESK_ERR_NO_RESOURCE;
    }
    const vesk_result made = check_dir(temp.get());
    if (made != VESK_OK) return made;
    char path[kPathBytes] = "";
    append_cut(path, sizeof path, temp.get());
    append_cut(path, sizeof path, "\\");
    append_cut(path, sizeof path, row->file_name);
    FILE* f = fopen_as_userU(path);
    if (!f) {
        vesk_log_message(VESK_LOG_WARNING, "get_version_info", "Failed to create file '%s' (%s)", path, last_error_text(0));
        return VESK_ERR_NO_RESOURCE;
    }
    const std::size_t length = static_cast<uint32_t>(row->length);
    const bool written = std::fwrite(row->bytes, 1, length, f) == length;
    const bool closed = std::fclose(f) == 0;

    vesk_result result = VESK_ERR_NO_RESOURCE;
    {
        Utf16 wide(to_utf16(path));
        DWORD handle = 0;
        const DWORD size = (written && closed && wide) ? read_size(wide.get(), &handle) : 0;
        MallocPtr<void> block(size ? std::malloc(size) : nullptr);
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT fixed_size = 0;
        if (!block || !read_info(wide.get(), 0, size, block.get()) ||
            !query(block.get(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) || !fixed ||
            fixed_size < sizeof *fixed) {
            vesk_log_message(VESK_LOG_WARNING, "get_version_info", "Unable to allocate buffer for version info");
        } else {
            VS_FIXEDFILEINFO record = *fixed;
            // The INF's driver date is the payload row's time stamp, not the resource's date.
            const uint64_t file_time = static_cast<uint64_t>((row->timestamp + kEpochDifference) * kFileTimeUnits);
            record.dwFileDateMS = static_cast<DWORD>(file_time >> 32);
            record.dwFileDateLS = static_cast<DWORD>(file_time & 0xFFFFFFFFu);
            slot = record;
            if (info != &slot) *info = record;
            result = VESK_OK;
        }
    }
    utf8_delete_file(path);
    return result;
}

int32_t vesk_is_driver_supported(vesk_driver_kind kind, VS_FIXEDFILEINFO* info) {
    if (kind == VESK_DRIVER_CDC) return 1;
    if (kind < VESK_DRIVER_CDC) {
        if (info) std::memset(info, 0, sizeof *info);
        (void)get_version_info(kind, info);
        if (kind == VESK_DRIVER_WINUSB) return 1;
        if (kind == VESK_DRIVER_LIBUSB0 || kind == VESK_DRIVER_LIBUSBK) return 0;
        vesk_log_message(VESK_LOG_ERROR, "vesk_is_driver_supported", "Unknown driver type");
        return 0;
    }
    if (kind == VESK_DRIVER_USER) return 0;
    vesk_log_message(VESK_LOG_ERROR, "vesk_is_driver_supported", "Unknown driver type");
    return 0;
}
