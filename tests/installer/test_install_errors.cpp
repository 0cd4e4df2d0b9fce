// The installer's error table and the text helpers, without Windows.
#include <doctest.h>

#include <cstring>
#include <string>

#include "error_rows.h"
#include "install_errors.h"

TEST_CASE("every known code has its texts and result, in order") {
    for (const error_rows::Row& want : error_rows::kRows) {
        CAPTURE(want.code);
        const install_error_row* row = find_install_error(want.code);
        REQUIRE(row);
        CHECK(row->code == want.code);
        CHECK(row->result == want.result);
        std::size_t i = 0;
        for (const char* text : want.texts) {
            REQUIRE(i < kInstallErrorTexts);
            REQUIRE(row->texts[i]);
            CHECK(std::string(row->texts[i]) == text);
            ++i;
        }
        if (i < kInstallErrorTexts) CHECK(row->texts[i] == nullptr);
    }
}

TEST_CASE("codes outside the table are unknown") {
    for (uint32_t code : error_rows::kUnknownCodes) {
        CAPTURE(code);
        CHECK(find_install_error(code) == nullptr);
    }
}

TEST_CASE("a row text receives the INF path at its one %s and is cut to fit") {
    struct Case {
        const char* text;
        const char* path;
        std::size_t cap;
        const char* want;
    };
    const Case cases[] = {
        {"Invalid path or hardware ID (%s).", "C:\\pkg\\a.inf", 64, "Invalid path or hardware ID (C:\\pkg\\a.inf)."},
        {"Invalid path or hardware ID (%s).", nullptr, 64, "Invalid path or hardware ID ()."},
        {"This driver already exists.", "C:\\x.inf", 64, "This driver already exists."},
        {"(%s)", "100%d %s", 64, "(100%d %s)"},  // the path is data, never a format
        {"(%s) and %s", "p", 64, "(p) and %s"},  // only the first hole is filled
        {"ab(%s)cd", "0123456789", 8, "ab(0123"},
        {"abcdef", nullptr, 4, "abc"},
        {"x", "p", 1, ""},
    };
    for (const Case& c : cases) {
        CAPTURE(c.text);
        CAPTURE(c.cap);
        char out[64];
        std::memset(out, 'Z', sizeof out);
        fill_install_error_text(c.text, c.path, out, c.cap);
        CHECK(std::string(out) == c.want);
    }
}

TEST_CASE("codes are turned into the form of the system message table") {
    struct Case {
        uint32_t code;
        uint32_t want;
    };
    const Case cases[] = {
        {0, 0},           // success stays success
        {2, 0x80070002},  // Win32 errors
        {3010, 0x80070BC2},
        {0x1FFFFFFF, 0x8007FFFF},  // three top bits clear: only the low 16 bits stay
        {0x00240006, 0x80070006},
        {0xE000020B, 0x800F020B},  // SetupAPI errors
        {0xFFFFFFFF, 0x800FFFFF},
        {0xE0000000, 0x800F0000},
        {0x800F0217, 0x800F0217},  // HRESULTs and everything else unchanged
        {0x20000000, 0x20000000},
        {0xC0000005, 0xC0000005},
        {0x8024002E, 0x8024002E},
    };
    for (const Case& c : cases) {
        CAPTURE(c.code);
        CHECK(system_message_code(c.code) == c.want);
    }
}
