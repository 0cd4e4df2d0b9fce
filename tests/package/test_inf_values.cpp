// Outside values made safe for an INF's quoted strings, and the strict shapes of hardware IDs
// and interface GUIDs. No Windows call: natively under AddressSanitizer/UBSan and under Wine.
#include <doctest.h>

#include <cstring>
#include <string>

#include "inf_values.h"

namespace {
struct Quoted {
    bool whole;
    std::string text;
};
Quoted quote(const std::string& in) {
    char out[kTokenValueBytes];
    std::memset(out, 'z', sizeof out);
    const bool whole = quote_inf_text(in, out);
    const void* nul = std::memchr(out, '\0', sizeof out);
    REQUIRE(nul != nullptr);
    return {whole, std::string(out)};
}
}  // namespace

TEST_CASE("quoted INF text: quotes and percent signs doubled, control characters and broken UTF-8 dropped") {
    struct Row {
        const char* what;
        std::string in, want;
    };
    const Row rows[] = {
        {"an honest description", "Morvane DFU bootloader", "Morvane DFU bootloader"},
        {"non-ASCII kept",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"quote", "Pad \"X\" Y", "Pad \"\"X\"\" Y"},
        {"percent and a string key", "100% %DeviceID%", "100%% %%DeviceID%%"},
        {"semicolon and brackets stay", "A;B [Strings]", "A;B [Strings]"},
        {"line breaks, tab, EOF mark, DEL",
         "a\r\nb\tc\x1a"
         "d\x7f"
         "e",
         "abcde"},
        {"C1 controls (NEL) dropped, U+00A0 kept",
         "a\xC2\x85"
         "b\xC2\xA0"
         "c",
         "ab\xC2\xA0"
         "c"},
        {"an injected section", "x\"\r\n[USB_Install.HW]\r\nAddReg = Evil\r\n;", "x\"\"[USB_Install.HW]AddReg = Evil;"},
        {"a stray lead byte does not swallow the quote behind it", "a\xC3\"b", "a\"\"b"},
        {"overlong quote dropped",
         "a\xC0\xA2"
         "b",
         "ab"},
        {"surrogate half and beyond U+10FFFF dropped",
         "a\xED\xA0\x80"
         "b\xF4\x90\x80\x80"
         "c",
         "abc"},
        {"cut sequence at the end dropped", "ab\xE2\x82", "ab"},
        {"empty", "", ""},
    };
    for (const Row& r : rows) {
        CAPTURE(r.what);
        const Quoted q = quote(r.in);
        CHECK(q.whole);
        CHECK(q.text == r.want);
    }
    // The NUL ends the value, as in every C string the library passes on.
    CHECK(quote(std::string("a\0b", 3)).text == "ab");
}

TEST_CASE("quoted INF text that does not fit is cut before a whole escape or character") {
    const std::size_t room = kTokenValueBytes - 1;
    struct Row {
        const char* what;
        std::string in;
        std::size_t want_size;
    };
    const Row rows[] = {
        {"plain text exactly fills", std::string(room, 'a'), room},
        {"escape pair on the edge", std::string(room - 1, 'a') + "%", room - 1},
        {"quotes only", std::string(room, '"'), room - 1},  // 511 pairs
        {"three-byte character on the edge", std::string(room - 2, 'a') + "\xE2\x82\xAC", room - 2},
    };
    for (const Row& r : rows) {
        CAPTURE(r.what);
        const Quoted q = quote(r.in);
        CHECK(q.text.size() == r.want_size);
        CHECK(q.whole == (r.in.size() == r.want_size));
    }
    const Quoted q = quote(std::string(room, '"'));
    CHECK(q.text == std::string(room - 1, '"'));
}

TEST_CASE("hardware ID and interface GUID shapes") {
    struct Row {
        const char* text;
        bool hardware_id, guid;
    };
    static const Row rows[] = {
        {"VID_2E3C&PID_DF11", true, false},
        {"VID_1234&PID_5678&MI_02", true, false},
        {"MS_COMP_WINUSB", true, false},
        {"MS_COMP_LIBUSB0", true, false},
        {"MS_COMP_", false, false},
        {"MS_COMP_winusb", false, false},
        {"vid_2e3c&pid_df11", false, false},
        {"VID_2e3c&PID_DF11", false, false},
        {"VID_2E3C&PID_DF1", false, false},
        {"VID_2E3C&PID_DF11&MI_0", false, false},
        {"VID_2E3C&PID_DF11\"", false, false},
        {"VID_2E3C&PID_DF11\r\n", false, false},
        {"VID_2E3C&PID_DF11&MI_02&MI_03", false, false},
        {"", false, false},
        {"{01234567-89AB-CDEF-0123-456789ABCDEF}", false, true},
        {"{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}", false, true},
        {"01234567-89AB-CDEF-0123-456789ABCDEF", false, false},
        {"{01234567-89AB-CDEF-0123-456789ABCDEF", false, false},
        {"{01234567-89AB-CDEF-0123-456789ABCDEG}", false, false},
        {"{0123456789AB-CDEF-0123-456789ABCDEF-}", false, false},
        {"{01234567-89AB-CDEF-0123-456789ABCDEF}\"\r\n[Evil]", false, false},
        {"UNUSED", false, false},
    };
    for (const Row& r : rows) {
        CAPTURE(r.text);
        CHECK(is_hardware_id_shape(r.text) == r.hardware_id);
        CHECK(is_interface_guid_shape(r.text) == r.guid);
    }
}
