#include "driver_support.h"
#include "libvesk.h"

#include <cstring>

#include "payload.h"
#include "pe_version.h"
#include "vesk_log.h"

static_assert(sizeof(pe_fixed_version) == sizeof(VS_FIXEDFILEINFO));

VS_FIXEDFILEINFO version_cache[kVersionCacheSlots] = {};

namespace {
// The payload file whose version resource stands for each kind ("" for none).
constexpr const char* kVersionSource[kVersionCacheSlots] = {"winusbcoinstaller2.dll", "libusb0.dll", "libusbK.dll", ""};
// Seconds from 1601-01-01 to 1970-01-01, and file-time units per second.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr int64_t kFileTimeUnits = 10000000LL;
}  // namespace

// The version is read from the carried bytes themselves: a copy written to the user's TEMP by
// this elevated process could be redirected by a link planted there, or swapped before reading.
vesk_result get_version_info(int kind, VS_FIXEDFILEINFO* info) {
    if (static_cast<unsigned>(kind) >= kVersionCacheSlots || !info) return VESK_ERR_INVALID_PARAMETER;
    VS_FIXEDFILEINFO& slot = version_cache[kind];
    if (slot.dwSignature != 0) {
        if (info != &slot) *info = slot;
        return VESK_OK;
    }

    const payload_entry* row = find_payload(nullptr, kVersionSource[kind]);
    if (!row) return VESK_ERR_NOT_FOUND;

    const std::optional<pe_fixed_version> fixed =
        read_pe_fixed_version({row->bytes, static_cast<std::size_t>(static_cast<uint32_t>(row->length))});
    if (!fixed) {
        vesk_log_message(VESK_LOG_WARNING, "get_version_info", "Unable to allocate buffer for version info");
        return VESK_ERR_NO_RESOURCE;
    }
    VS_FIXEDFILEINFO record;
    std::memcpy(&record, &*fixed, sizeof record);
    // The INF's driver date is the payload row's time stamp, not the resource's date.
    const uint64_t file_time = static_cast<uint64_t>((row->timestamp + kEpochDifference) * kFileTimeUnits);
    record.dwFileDateMS = static_cast<DWORD>(file_time >> 32);
    record.dwFileDateLS = static_cast<DWORD>(file_time & 0xFFFFFFFFu);
    slot = record;
    if (info != &slot) *info = record;
    return VESK_OK;
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
