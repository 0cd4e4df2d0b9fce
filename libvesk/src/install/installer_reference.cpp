#include "installer_image.h"

#include "payload.h"

std::span<const unsigned char> installer_reference(const char* program) {
    const payload_entry* row = find_payload(".", program);
    if (!row) return {};
    return {row->bytes, static_cast<uint32_t>(row->length)};
}
