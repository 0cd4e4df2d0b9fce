#include "device_fields.h"

#include <climits>
#include <cstring>

#include "ascii.h"
#include "format_into.h"

namespace {

constexpr const char* kHubServices[] = {"usbhub",   "usbhub3",  "usb3hub",   "nusb3hub", "rusb3hub",
                                        "flxhcih",  "tihub3",   "etronhub3", "viahub3",  "asmthub3",
                                        "iusb3hub", "vusb3hub", "amdhub30",  "vhhub"};
constexpr char kCompositeParentService[] = "usbccgp";
constexpr char kIdSeparators[] = "\\#&";

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The conversion of scanf's "%<width>X": leading white space, an optional sign and "0x", then
// hex digits, all within `width` characters after the white space. False when no digit.
bool scan_hex(const char* s, int width, unsigned* out) {
    while (is_space(*s)) ++s;
    int used = 0;
    bool negative = false;
    if (used < width && (*s == '+' || *s == '-')) {
        negative = *s == '-';
        ++s;
        ++used;
    }
    if (used + 2 < width && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && is_hex_digit(s[2])) {
        s += 2;
        used += 2;
    }
    unsigned value = 0;
    int digits = 0;
    for (; used < width && is_hex_digit(*s); ++s, ++used, ++digits)
        value = value * 16u + static_cast<unsigned>(hex_digit_value(*s));
    if (digits == 0) return false;
    *out = negative ? 0u - value : value;
    return true;
}

// The leading decimal number of a part, clamped to the signed 32-bit range; 0 without digits.
int64_t leading_decimal(const char* s) {
    while (is_space(*s)) ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    int64_t value = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10 + (*s - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1) value = static_cast<int64_t>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    return value;
}

bool starts_with(const char* s, std::size_t n, const char* prefix) {
    const std::size_t p = std::strlen(prefix);
    return n >= p && std::memcmp(s, prefix, p) == 0;
}

}  // namespace

bool is_hub_service(const char* service) {
    for (const char* hub : kHubServices)
        if (ascii_iequal(service, hub)) return true;
    return false;
}

bool is_composite_parent_service(const char* service) { return ascii_iequal(service, kCompositeParentService); }

uint64_t pack_driver_version(const char* text) {
    uint64_t packed = 0;
    if (!text) return packed;
    const char* p = text;
    while (*p) {
        if (*p == '.') {
            ++p;
            continue;
        }
        // One part: up to the next full stop. The number ends at its first non-digit anyway.
        packed <<= 16;
        packed += static_cast<uint64_t>(leading_decimal(p));
        while (*p && *p != '.') ++p;
    }
    return packed;
}

InstanceIdParts parse_instance_id(const char* instance_id, void (*on_error)(IdPieceError, void*), void* context) {
    InstanceIdParts parts;
    if (!instance_id) return parts;
    const char* p = instance_id;
    // The first "VID_" and "PID_" pieces name the device; a later one (a serial number such as
    // "x&VID_1234") must not change them.
    bool product_seen = false;
    while (*p) {
        const std::size_t n = std::strcspn(p, kIdSeparators);
        if (n == 0) {
            ++p;
            continue;
        }
        // A piece is [p, p + n); a copy keeps the scan inside it, as a split copy would.
        char piece[kDevicePropertyBytes];
        const std::size_t take = n < sizeof piece ? n : sizeof piece - 1;
        std::memcpy(piece, p, take);
        piece[take] = '\0';
        unsigned value = 0;
        if (starts_with(piece, take, "VID_")) {
            if (parts.has_vendor) {
                p += n;
                continue;
            }
            parts.has_vendor = true;
            if (scan_hex(piece + 4, 4, &value)) {
                parts.vendor_id = static_cast<uint16_t>(value);
                parts.vendor_set = true;
            } else if (on_error) {
                on_error(IdPieceError::vid, context);
            }
        } else if (starts_with(piece, take, "PID_")) {
            if (product_seen) {
                p += n;
                continue;
            }
            product_seen = true;
            if (scan_hex(piece + 4, 4, &value)) {
                parts.product_id = static_cast<uint16_t>(value);
                parts.product_set = true;
            } else if (on_error) {
                on_error(IdPieceError::pid, context);
            }
        } else if (starts_with(piece, take, "MI_")) {
            if (scan_hex(piece + 3, 2, &value)) {
                parts.composite = true;
                parts.interface_number = static_cast<uint8_t>(value);
            } else if (on_error) {
                on_error(IdPieceError::mi, context);
            }
        }
        p += n;
    }
    return parts;
}

void trim_trailing_space(char* text) {
    if (!text) return;
    std::size_t len = std::strlen(text);
    while (len > 0 && is_space(text[len - 1])) text[--len] = '\0';
}

void interface_suffix(char (&out)[kInterfaceSuffixBytes], unsigned interface_number) {
    if (format_into(out, sizeof out, " (Interface %u)", interface_number) != Fit::ok) out[0] = '\0';
}
