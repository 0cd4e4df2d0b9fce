#include "vendor_names.h"

#include <algorithm>

#include "libvesk.h"

// Ascending and unique by ID (the generator checks), so bisection finds the one entry.
const vendor_entry vendor_table[] = {
#include "vendor_table.inc"
};
const std::size_t vendor_table_size = sizeof vendor_table / sizeof vendor_table[0];
const char vendor_list_version[] = VESK_VENDOR_LIST_VERSION;

const char* vesk_vendor_name(uint16_t vendor_id) {
    const vendor_entry* end = vendor_table + vendor_table_size;
    const vendor_entry* e = std::lower_bound(vendor_table, end, vendor_id,
                                             [](const vendor_entry& v, uint16_t id) { return (v.id & 0xFFFFu) < id; });
    return e != end && (e->id & 0xFFFFu) == vendor_id ? e->name : nullptr;
}
