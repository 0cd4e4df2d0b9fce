// The signing certificate's end and the hexadecimal text of container names; Windows-free,
// also run natively.
#include <doctest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "cert_validity.h"
#include "hex_digits.h"

using cert_validity::UtcTime;

namespace {
std::string text(const UtcTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}
}  // namespace

TEST_CASE("certificate end: the fixed end while at least a year away, else a year after creation") {
    struct Row {
        UtcTime created;
        UtcTime want;
    };
    static const Row rows[] = {
        {{2024, 5, 17, 9, 30, 0}, {2029, 1, 1, 0, 0, 0}},
        {{2027, 12, 31, 23, 59, 59}, {2029, 1, 1, 0, 0, 0}},
        // Exactly a year before the fixed end: still the fixed end.
        {{2028, 1, 1, 0, 0, 0}, {2029, 1, 1, 0, 0, 0}},
        // A second later the fixed end is less than a year away.
        {{2028, 1, 1, 0, 0, 1}, {2029, 1, 1, 0, 0, 1}},
        {{2028, 6, 30, 12, 0, 0}, {2029, 6, 30, 12, 0, 0}},
        // Past the fixed end: never an expired certificate.
        {{2029, 1, 1, 0, 0, 0}, {2030, 1, 1, 0, 0, 0}},
        {{2035, 3, 9, 8, 7, 6}, {2036, 3, 9, 8, 7, 6}},
        // A leap day has no day in the next year: the year ends a day early.
        {{2028, 2, 29, 10, 0, 0}, {2029, 2, 28, 10, 0, 0}},
        {{2032, 2, 29, 0, 0, 0}, {2033, 2, 28, 0, 0, 0}},
        {{2031, 2, 28, 0, 0, 0}, {2032, 2, 28, 0, 0, 0}},
    };
    for (const Row& r : rows) {
        CAPTURE(text(r.created));
        CHECK(text(cert_validity::certificate_end(r.created)) == text(r.want));
    }
}

TEST_CASE("the end is never earlier than a year after creation") {
    for (int year = 2020; year <= 2040; ++year) {
        for (int month = 1; month <= 12; ++month) {
            const UtcTime created{year, month, 15, 12, 0, 0};
            CAPTURE(text(created));
            const UtcTime end = cert_validity::certificate_end(created);
            CHECK_FALSE(cert_validity::earlier(end, cert_validity::one_year_after(created)));
            CHECK_FALSE(cert_validity::earlier(end, cert_validity::kFixedEnd));
        }
    }
}

TEST_CASE("earlier compares field by field, largest first") {
    struct Row {
        UtcTime a, b;
        bool want;
    };
    static const Row rows[] = {
        {{2028, 1, 1, 0, 0, 0}, {2028, 1, 1, 0, 0, 0}, false},
        {{2028, 1, 1, 0, 0, 0}, {2028, 1, 1, 0, 0, 1}, true},
        {{2028, 1, 1, 0, 0, 1}, {2028, 1, 1, 0, 0, 0}, false},
        {{2027, 12, 31, 23, 59, 59}, {2028, 1, 1, 0, 0, 0}, true},
        {{2028, 2, 1, 0, 0, 0}, {2028, 1, 31, 23, 59, 59}, false},
    };
    for (const Row& r : rows) {
        CAPTURE(text(r.a));
        CAPTURE(text(r.b));
        CHECK(cert_validity::earlier(r.a, r.b) == r.want);
    }
}

TEST_CASE("hex digits: upper case, first byte first, NUL-terminated, narrow and wide") {
    const uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF, 0x3C};
    char narrow[2 * sizeof bytes + 2];
    std::memset(narrow, 'x', sizeof narrow);
    write_hex_upper(bytes, sizeof bytes, narrow);
    CHECK(std::string(narrow) == "000FA5FF3C");
    CHECK(narrow[sizeof narrow - 1] == 'x');  // nothing past the NUL
    wchar_t wide[2 * sizeof bytes + 1];
    write_hex_upper(bytes, sizeof bytes, wide);
    CHECK(std::wstring(wide) == L"000FA5FF3C");
}
