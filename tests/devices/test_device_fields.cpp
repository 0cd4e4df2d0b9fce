// The device list's Windows-free rules: instance-ID pieces, the packed driver version, hub
// services, the description's suffixes and trimming. Natively under AddressSanitizer/UBSan and
// under Wine with the same tables.
#include <doctest.h>

#include <string>
#include <vector>

#include "device_fields.h"

namespace {
std::vector<IdPieceError> errors;
void record(IdPieceError e, void*) { errors.push_back(e); }

std::u16string u16(const std::string& s) { return std::u16string(s.begin(), s.end()); }
}  // namespace

TEST_CASE("instance-ID pieces") {
    using E = IdPieceError;
    struct Row {
        const char* id;
        bool has_vendor;
        uint16_t vid, pid;
        bool composite;
        uint8_t mi;
        std::vector<IdPieceError> errors;
    };
    const std::string long_id = "USB\\VID_2E3C&PID_DF11\\" + std::string(232, '7');  // 255 characters
    // Longer than any buffer of the scan: a piece of 600 characters, and an ID of 3000 whose
    // interface piece comes last.
    const std::string long_piece = "USB\\VID_2E3C" + std::string(600, 'F') + "&PID_DF11\\1";
    const std::string very_long_id = "USB\\VID_2E3C&PID_DF11\\" + std::string(2970, 'x') + "&MI_03";
    const Row rows[] = {
        {"USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1", true, 0x2E3C, 0xDF11, false, 0, {}},
        {"USB\\VID_2e3c&PID_df11\\X", true, 0x2E3C, 0xDF11, false, 0, {}},
        {"USB\\VID_2E3C&PID_DF11&MI_02\\6&2&0&2", true, 0x2E3C, 0xDF11, true, 2, {}},
        {"USB\\VID_046D&PID_C52B&MI_FF\\7&1", true, 0x046D, 0xC52B, true, 0xFF, {}},
        {"USB\\ROOT_HUB30\\4&1B2C3D&0&0", false, 0, 0, false, 0, {}},
        {"USB\\VID_ZZZZ&PID_0001\\1", true, 0, 0x0001, false, 0, {E::vid}},
        {"USB\\VID_&PID_&MI_\\1", true, 0, 0, false, 0, {E::vid, E::pid, E::mi}},
        {"USB\\VID_12345&PID_1\\1", true, 0x1234, 0x0001, false, 0, {}},  // four digits at most
        {"USB\\VID_1G&PID_0G\\1", true, 0x0001, 0x0000, false, 0, {}},    // leading digits count
        {"USB\\vid_2E3C&pid_DF11&mi_00\\1", false, 0, 0, false, 0, {}},   // prefixes are case-sensitive
        {"USB\\XVID_2E3C\\1", false, 0, 0, false, 0, {}},                 // only at a piece's start
        // A serial number that carries pieces of its own changes nothing: the first ones count.
        {"USB\\VID_2E3C&PID_DF11\\x&VID_1234&PID_5678", true, 0x2E3C, 0xDF11, false, 0, {}},
        {"USB\\VID_ZZZZ&PID_DF11\\VID_2E3C&PID_", true, 0, 0xDF11, false, 0, {E::vid}},
        {"USB#VID_2E3C#PID_DF11#MI_01", true, 0x2E3C, 0xDF11, true, 1, {}},
        {"&&&\\\\##", false, 0, 0, false, 0, {}},
        {"", false, 0, 0, false, 0, {}},
        {"VID_", true, 0, 0, false, 0, {E::vid}},
        {"MI_1", false, 0, 0, true, 1, {}},
        {long_id.c_str(), true, 0x2E3C, 0xDF11, false, 0, {}},
        {long_piece.c_str(), true, 0x2E3C, 0xDF11, false, 0, {}},
        {very_long_id.c_str(), true, 0x2E3C, 0xDF11, true, 3, {}},
    };
    for (const Row& r : rows) {
        CAPTURE(r.id);
        errors.clear();
        const InstanceIdParts p = parse_instance_id(r.id, record, nullptr);
        CHECK(p.has_vendor == r.has_vendor);
        CHECK(p.vendor_id == r.vid);
        CHECK(p.product_id == r.pid);
        CHECK(p.composite == r.composite);
        CHECK(p.interface_number == r.mi);
        CHECK(errors == r.errors);
    }
    CHECK_FALSE(parse_instance_id(nullptr).has_vendor);
}

TEST_CASE("DriverVersion text packs into 16-bit parts") {
    struct Row {
        const char* text;
        uint64_t want;
    };
    static const Row rows[] = {
        {"10.0.19041.1", (10ull << 48) | (19041ull << 16) | 1},
        {"6.1.7600.16385", (6ull << 48) | (1ull << 32) | (7600ull << 16) | 16385},
        {"1", 1},
        {"1.2", (1ull << 16) | 2},
        {"..1..2..", (1ull << 16) | 2},  // empty parts are skipped
        {"", 0},
        {".", 0},
        {"1.x", 1ull << 16},                                            // a part without digits counts as 0
        {"2a.3", (2ull << 16) | 3},                                     // leading digits only
        {"1.2.3.4.5", (2ull << 48) | (3ull << 32) | (4ull << 16) | 5},  // the top part is shifted out
        {"1.65537", (1ull << 16) + 65537},                              // a part above 16 bits carries into the next
        {"99999999999", 0x7FFFFFFFull},                                 // clamped to the signed 32-bit range
        {"1.-1", (1ull << 16) - 1},                                     // sign-extended
    };
    for (const Row& r : rows) {
        CAPTURE(r.text);
        CHECK(pack_driver_version(r.text) == r.want);
    }
    CHECK(pack_driver_version(nullptr) == 0);
}

TEST_CASE("hub and composite-parent services, ignoring case") {
    static const char* hubs[] = {"usbhub",   "usbhub3",   "usb3hub", "nusb3hub", "rusb3hub", "flxhcih",
                                 "tihub3",   "etronhub3", "viahub3", "asmthub3", "iusb3hub", "vusb3hub",
                                 "amdhub30", "vhhub",     "USBHUB3", "UsbHub"};
    for (const char* s : hubs) {
        CAPTURE(s);
        CHECK(is_hub_service(s));
        CHECK_FALSE(is_composite_parent_service(s));
    }
    static const char* others[] = {"usbhub4", "usbhu", "", "usbccgp", "WinUSB", "usbhub "};
    for (const char* s : others) {
        CAPTURE(s);
        CHECK_FALSE(is_hub_service(s));
    }
    CHECK_FALSE(is_hub_service(nullptr));
    CHECK(is_composite_parent_service("usbccgp"));
    CHECK(is_composite_parent_service("USBCCGP"));
    CHECK_FALSE(is_composite_parent_service("usbccgp2"));
    CHECK_FALSE(is_composite_parent_service(nullptr));
}

TEST_CASE("description suffixes respect their length limits") {
    struct Row {
        std::size_t len;
        bool interface_added, parent_added;
    };
    static const Row rows[] = {{0, true, true},    {235, true, true},   {236, true, false},
                               {238, true, false}, {239, false, false}, {255, false, false}};
    for (const Row& r : rows) {
        CAPTURE(r.len);
        const std::u16string base(r.len, u'd');
        char16_t desc[kDescriptionUnits] = {};
        base.copy(desc, r.len);
        CHECK(append_interface_suffix(desc, 255) == r.interface_added);
        CHECK(std::u16string(desc) == (r.interface_added ? base + u16(" (Interface 255)") : base));

        char16_t parent[kDescriptionUnits] = {};
        base.copy(parent, r.len);
        CHECK(append_composite_suffix(parent) == r.parent_added);
        CHECK(std::u16string(parent) == (r.parent_added ? base + u16(" (Composite Parent)") : base));
    }
    char16_t desc[kDescriptionUnits] = u"Mouse";
    CHECK(append_interface_suffix(desc, 2));
    CHECK(std::u16string(desc) == u"Mouse (Interface 2)");
}

TEST_CASE("trailing white space is trimmed, inner kept") {
    struct Row {
        const char* in;
        const char* want;
    };
    static const Row rows[] = {{"DFU in FS Mode  \t\r\n\v\f", "DFU in FS Mode"},
                               {"  a b  ", "  a b"},
                               {"   ", ""},
                               {"", ""},
                               {"x", "x"},
                               {"x\xA0", "x\xA0"}};  // no locale: 0xA0 stays
    for (const Row& r : rows) {
        CAPTURE(r.in);
        std::string s = r.in;
        trim_trailing_space(s.data());
        CHECK(std::string(s.c_str()) == r.want);
    }
    trim_trailing_space(nullptr);
}
