// The USB vendor-name table: the telling rows, both ends, absent IDs, and the order the
// bisection relies on.
#include <doctest.h>

#include <cstring>
#include <string>

#include "libvesk.h"
#include "vendor_names.h"

TEST_CASE("telling rows and absent vendors") {
    struct Row {
        uint16_t id;
        const char* want;  // null: no entry
    };
    static const Row rows[] = {
        {0x0001, "Fry's Electronics"},
        {0x0002, "Ingram"},
        {0x0403, "Future Technology Devices International, Ltd"},
        {0x045E, "Microsoft Corp."},
        {0x0483, "STMicroelectronics"},
        {0x0564, "Kodak Digital Product Center, Japan Ltd. (formerly Chinon Industries Inc.)"},
        {0x1209, "Generic"},
        {0x1D50, "OpenMoko, Inc."},
        {0x8086, "Intel Corp."},
        {0xFFEE, "FNK Tech"},
        {0x08DE, "???"},  // escaped in the table, not a trigraph
        {0x0000, nullptr},
        {0xFFFF, nullptr},
        {0x2E3C, nullptr},  // Artery: the bootloader's vendor has no entry
    };
    for (const Row& r : rows) {
        CAPTURE(r.id);
        const char* got = vesk_vendor_name(r.id);
        if (r.want) {
            REQUIRE(got != nullptr);
            CHECK(std::string(got) == r.want);
        } else {
            CHECK(got == nullptr);
        }
    }
}

TEST_CASE("the table is ascending, unique, ASCII, and every entry is found") {
    REQUIRE(vendor_table_size > 0);
    CHECK(vendor_table[0].id == 0x0001);
    CHECK(vendor_table[vendor_table_size - 1].id == 0xFFEE);
    std::size_t longest = 0;
    for (std::size_t i = 0; i < vendor_table_size; ++i) {
        const vendor_entry& e = vendor_table[i];
        CAPTURE(e.id);
        if (i > 0) CHECK(vendor_table[i - 1].id < e.id);
        CHECK(e.id <= 0xFFFF);
        const std::size_t len = std::strlen(e.name);
        CHECK(len > 0);
        longest = len > longest ? len : longest;
        bool ascii = true;
        for (const char* c = e.name; *c; ++c) ascii = ascii && static_cast<unsigned char>(*c) < 0x80;
        CHECK(ascii);
        CHECK(vesk_vendor_name(static_cast<uint16_t>(e.id)) == e.name);
    }
    CHECK(longest == std::strlen(vesk_vendor_name(0x0564)));
}
