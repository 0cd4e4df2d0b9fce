// The Windows-free rules of the device list: service names, instance-ID pieces, the packed
// driver version and the description's suffixes and trimming.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kDevicePropertyBytes = 256;  // every ANSI property and the instance ID
constexpr std::size_t kDriverVersionBytes = 24;    // the "DriverVersion" text
constexpr std::size_t kDescriptionUnits = 256;     // the UTF-16 description

bool is_hub_service(const char* service);               // one of the 14 hub drivers
bool is_composite_parent_service(const char* service);  // "usbccgp"

// Dotted decimal parts, 16 bits each from the top: "10.0.19041.1" -> 10<<48 | 0<<32 | 19041<<16 | 1.
// Empty parts are skipped; each part counts by its leading decimal number (as a signed 32-bit
// value, sign-extended), so "1.x" gives 1<<16.
uint64_t pack_driver_version(const char* text);

enum class IdPieceError { vid, pid, mi };

struct InstanceIdParts {
    bool has_vendor = false;  // some piece began with "VID_", parsed or not
    bool vendor_set = false;
    bool product_set = false;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    bool composite = false;
    uint8_t interface_number = 0;  // of the last "MI_" piece
};

// Splits the ID at '\', '#' and '&' and reads the "VID_%04X", "PID_%04X" and "MI_%02X" pieces
// (prefixes case-sensitive). Only the first "VID_" and the first "PID_" piece count, parsed or
// not. Each counted piece that has the prefix but no number calls on_error, in
// order; the field it would set keeps its value.
InstanceIdParts parse_instance_id(const char* instance_id, void (*on_error)(IdPieceError, void*) = nullptr,
                                  void* context = nullptr);

// Removes trailing white space (space, \t, \n, \v, \f, \r) in place.
void trim_trailing_space(char* text);

// Appends an ASCII suffix to a NUL-terminated UTF-16 description of capacity `cap` units when
// its length is below `limit`; returns whether it did. Used with wchar_t on Windows, char16_t in
// the native tests.
template <class Ch>
bool append_suffix(Ch* desc, std::size_t cap, std::size_t limit, const char* suffix) {
    std::size_t len = 0;
    while (len < cap && desc[len]) ++len;
    std::size_t add = 0;
    while (suffix[add]) ++add;
    if (len >= limit || len + add >= cap) return false;
    for (std::size_t i = 0; i <= add; ++i) desc[len + i] = static_cast<Ch>(static_cast<unsigned char>(suffix[i]));
    return true;
}

// " (Interface %d)" below 256 - 17 units, " (Composite Parent)" below 256 - 20 units.
constexpr std::size_t kInterfaceSuffixLimit = kDescriptionUnits - 17;
constexpr std::size_t kCompositeSuffixLimit = kDescriptionUnits - 20;
constexpr std::size_t kInterfaceSuffixBytes = 20;  // " (Interface 255)" and its NUL, with room

template <class Ch>
bool append_interface_suffix(Ch (&desc)[kDescriptionUnits], unsigned interface_number);
template <class Ch>
bool append_composite_suffix(Ch (&desc)[kDescriptionUnits]) {
    return append_suffix(desc, kDescriptionUnits, kCompositeSuffixLimit, " (Composite Parent)");
}

// " (Interface %d)" as ASCII.
void interface_suffix(char (&out)[kInterfaceSuffixBytes], unsigned interface_number);

template <class Ch>
bool append_interface_suffix(Ch (&desc)[kDescriptionUnits], unsigned interface_number) {
    char suffix[kInterfaceSuffixBytes];
    interface_suffix(suffix, interface_number);
    return append_suffix(desc, kDescriptionUnits, kInterfaceSuffixLimit, suffix);
}
