#include "dfu_identity.h"

#include <cstring>

#include "ascii.h"

namespace {
constexpr char kHardwareIdPrefix[] = "USB\\VID_2E3C&PID_DF11";
constexpr std::size_t kHardwareIdPrefixChars = sizeof kHardwareIdPrefix - 1;  // 21
constexpr char kRevisionMarker[] = "&REV_";
constexpr std::size_t kRevisionChars = 9;  // "&REV_" and four hex digits
constexpr char kDfuCompatibleId[] = "USB\\Class_FE&SubClass_01&Prot_02";
constexpr char kDfuVendorCompatibleId[] = "USB\\COMPAT_VID_2E3C&Class_FE&SubClass_01&Prot_02";
constexpr std::size_t kDeviceIdChars = 1024;  // IDs must be shorter, to fit 1024 bytes with NUL

// Compares the first n bytes under the ASCII rule; both must have at least n bytes.
bool ascii_prefix_equal(const char* s, const char* prefix, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const char a = ascii_upper(s[i]);
        if (a != ascii_upper(prefix[i]) || a == '\0') return false;
    }
    return true;
}

bool hardware_id_matches(const char* id) {
    if (!id || strnlen(id, kHardwareIdPrefixChars) < kHardwareIdPrefixChars) return false;
    if (!ascii_prefix_equal(id, kHardwareIdPrefix, kHardwareIdPrefixChars)) return false;
    const char* rest = id + kHardwareIdPrefixChars;
    if (*rest == '\0') return true;
    if (strnlen(rest, kRevisionChars + 1) != kRevisionChars) return false;
    if (!ascii_prefix_equal(rest, kRevisionMarker, sizeof kRevisionMarker - 1)) return false;
    for (std::size_t i = sizeof kRevisionMarker - 1; i < kRevisionChars; ++i)
        if (!is_hex_digit(rest[i])) return false;
    return true;
}
}  // namespace

bool is_supported_dfu_device(uint16_t vendor_id, uint16_t product_id, bool composite, const char* hardware_id,
                             const char* compatible_id, const char* device_id) {
    if (vendor_id != AT32_DFU_VID || product_id != AT32_DFU_PID) return false;
    if (composite) return false;
    if (!hardware_id_matches(hardware_id)) return false;
    if (!ascii_iequal(compatible_id, kDfuCompatibleId) && !ascii_iequal(compatible_id, kDfuVendorCompatibleId))
        return false;
    if (!device_id) return false;
    const std::size_t len = strnlen(device_id, kDeviceIdChars);
    return len > 0 && len < kDeviceIdChars;
}

bool same_device_id(const char* a, const char* b) { return ascii_iequal(a, b); }

bool is_winusb_driver(const char* driver) { return ascii_iequal(driver, "WinUSB"); }
