#include "installer_image.h"

#include <cstring>

#include "payload.h"

std::span<const unsigned char> installer_reference(const char* program) {
    for (const payload_entry& row : payload_table) {
        if (std::strcmp(row.directory, ".") == 0 && std::strcmp(row.file_name, program) == 0)
            return {row.bytes, static_cast<uint32_t>(row.length)};
    }
    return {};
}
