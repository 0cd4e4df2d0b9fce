// The rule that picks the one device the setup program may touch, and its two comparisons.
// Portable: natively under AddressSanitizer/UBSan and under Wine with the same table.
#include <doctest.h>

#include <string>

#include "dfu_identity.h"

namespace {
constexpr const char* kHw = "USB\\VID_2E3C&PID_DF11";
constexpr const char* kCompat = "USB\\Class_FE&SubClass_01&Prot_02";
constexpr const char* kVendorCompat = "USB\\COMPAT_VID_2E3C&Class_FE&SubClass_01&Prot_02";
constexpr const char* kId = "USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1";
}  // namespace

TEST_CASE("identity rule: every accepted and refused form") {
    const std::string id1023(1023, 'X');
    const std::string id1024(1024, 'X');
    struct Row {
        const char* what;
        uint16_t vid, pid;
        bool composite;
        const char* hwid;
        const char* compat;
        const char* id;
        bool want;
    };
    const Row rows[] = {
        {"bare hardware ID", 0x2E3C, 0xDF11, false, kHw, kCompat, kId, true},
        {"revision, upper case", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11&REV_0200", kCompat, kId, true},
        {"revision, lower-case digits", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11&REV_0a0f", kCompat, kId, true},
        {"all lower case", 0x2E3C, 0xDF11, false, "usb\\vid_2e3c&pid_df11&rev_0200",
         "usb\\class_fe&subclass_01&prot_02", "usb\\vid_2e3c&pid_df11\\5&1a2b3c&0&1", true},
        {"vendor compatible ID", 0x2E3C, 0xDF11, false, kHw, kVendorCompat, kId, true},
        {"vendor compatible ID, lower case", 0x2E3C, 0xDF11, false, kHw,
         "usb\\compat_vid_2e3c&class_fe&subclass_01&prot_02", kId, true},
        {"revision of three digits", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11&REV_020", kCompat, kId, false},
        {"revision of five digits", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11&REV_02000", kCompat, kId, false},
        {"revision digit G", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11&REV_02G0", kCompat, kId, false},
        {"nine characters, other marker", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11&MI_00000", kCompat, kId,
         false},
        {"nine characters, marker without &", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11XREV_0200", kCompat, kId,
         false},
        {"revision marker only", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF11&REV_", kCompat, kId, false},
        {"other product in hardware ID", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF12", kCompat, kId, false},
        {"hardware ID of 20 characters", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF1", kCompat, kId, false},
        {"empty hardware ID", 0x2E3C, 0xDF11, false, "", kCompat, kId, false},
        {"missing hardware ID", 0x2E3C, 0xDF11, false, nullptr, kCompat, kId, false},
        {"hardware ID with a byte above 0x7F", 0x2E3C, 0xDF11, false, "USB\\VID_2E3C&PID_DF1\xB1", kCompat, kId, false},
        {"compatible ID without protocol", 0x2E3C, 0xDF11, false, kHw, "USB\\Class_FE&SubClass_01", kId, false},
        {"compatible ID with another protocol", 0x2E3C, 0xDF11, false, kHw, "USB\\Class_FE&SubClass_01&Prot_01", kId,
         false},
        {"compatible ID with a trailing byte", 0x2E3C, 0xDF11, false, kHw, "USB\\Class_FE&SubClass_01&Prot_02 ", kId,
         false},
        {"compatible ID of another vendor", 0x2E3C, 0xDF11, false, kHw,
         "USB\\COMPAT_VID_2E3D&Class_FE&SubClass_01&Prot_02", kId, false},
        {"empty compatible ID", 0x2E3C, 0xDF11, false, kHw, "", kId, false},
        {"missing compatible ID", 0x2E3C, 0xDF11, false, kHw, nullptr, kId, false},
        {"composite interface", 0x2E3C, 0xDF11, true, kHw, kCompat, "USB\\VID_2E3C&PID_DF11&MI_00\\6&1&0&0", false},
        {"other vendor ID", 0x2E3D, 0xDF11, false, kHw, kCompat, kId, false},
        {"other product ID", 0x2E3C, 0xDF12, false, kHw, kCompat, kId, false},
        {"instance ID of 1023 characters", 0x2E3C, 0xDF11, false, kHw, kCompat, id1023.c_str(), true},
        {"instance ID of 1024 characters", 0x2E3C, 0xDF11, false, kHw, kCompat, id1024.c_str(), false},
        {"empty instance ID", 0x2E3C, 0xDF11, false, kHw, kCompat, "", false},
        {"instance ID of one character", 0x2E3C, 0xDF11, false, kHw, kCompat, "X", true},
        {"missing instance ID", 0x2E3C, 0xDF11, false, kHw, kCompat, nullptr, false},
    };
    for (const Row& r : rows) {
        CAPTURE(r.what);
        CHECK(is_supported_dfu_device(r.vid, r.pid, r.composite, r.hwid, r.compat, r.id) == r.want);
    }
}

TEST_CASE("ASCII folding: only a to z, no locale") {
    struct Row {
        const char* a;
        const char* b;
        bool want;
    };
    static const Row rows[] = {
        {"USB\\VID_2E3C&PID_DF11\\ABC", "usb\\vid_2e3c&pid_df11\\abc", true},
        {"abc", "abcd", false},
        {"abcd", "abc", false},
        {"", "", true},
        {"\xE4", "\xC4", false},  // Latin-1 a/A umlaut: not folded
        {"\xE4", "\xE4", true},
        {"[", "{", false},  // 0x5B and 0x7B differ by 0x20 but are no letters
        {"@", "`", false},
        {nullptr, "abc", false},
        {"abc", nullptr, false},
        {nullptr, nullptr, false},
    };
    for (const Row& r : rows) {
        CAPTURE(r.a ? r.a : "(null)");
        CAPTURE(r.b ? r.b : "(null)");
        CHECK(ascii_iequal(r.a, r.b) == r.want);
        CHECK(same_device_id(r.a, r.b) == r.want);
    }
}

TEST_CASE("WinUSB is recognised by its service name only") {
    struct Row {
        const char* driver;
        bool want;
    };
    static const Row rows[] = {
        {"WinUSB", true}, {"winusb", true}, {"WINUSB", true}, {"WinUSB2", false},
        {"WinUS", false}, {"", false},      {nullptr, false}, {"usbccgp", false},
    };
    for (const Row& r : rows) {
        CAPTURE(r.driver ? r.driver : "(null)");
        CHECK(is_winusb_driver(r.driver) == r.want);
    }
}
