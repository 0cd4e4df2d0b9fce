// The USB vendor-name table (from the public usb.ids list) and its entries, for the lookup and
// its tests.
#pragma once

#include <cstddef>
#include <cstdint>

struct vendor_entry {
    uint32_t id;  // 16 significant bits
    const char* name;
};

extern const vendor_entry vendor_table[];
extern const std::size_t vendor_table_size;
extern const char vendor_list_version[];
