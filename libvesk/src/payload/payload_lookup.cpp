#include <cstring>

#include "payload.h"

const payload_entry* find_payload(const char* directory, const char* file_name) {
    if (!file_name) return nullptr;
    for (const payload_entry& row : payload_table) {
        if (directory && std::strcmp(row.directory, directory) != 0) continue;
        if (std::strcmp(row.file_name, file_name) == 0) return &row;
    }
    return nullptr;
}
