#include "payload_extract.h"
#include "libvesk.h"

#include <cstring>

#include "error_text.h"
#include "files.h"
#include "payload.h"
#include "sizes.h"
#include "vesk_log.h"

void append_cut(char* buf, std::size_t cap, const char* src) {
    const std::size_t used = strnlen(buf, cap - 1);
    const std::size_t room = cap - 1 - used;
    const std::size_t n = strnlen(src, room);
    std::memcpy(buf + used, src, n);
    buf[used + n] = '\0';
}

vesk_result extract_binaries(const Shell32& shell32, const char* package_dir) {
    // Two separators and the NUL leave this much for D, the subdirectory and the file name.
    constexpr std::size_t kMaxJoined = kPathBytes - 3;
    if (!package_dir) return VESK_ERR_INVALID_PARAMETER;
    for (const payload_entry& row : payload_table) {
        if (row.directory[0] == '\0') continue;  // templates stay in the image
        char path[kPathBytes] = "";
        append_cut(path, sizeof path, package_dir);
        append_cut(path, sizeof path, "\\");
        append_cut(path, sizeof path, row.directory);
        // A cut directory ("D\x8") must not be created on the way to the length failure.
        if (std::strlen(package_dir) + 1 + std::strlen(row.directory) >= kPathBytes) {
            vesk_log_message(VESK_LOG_ERROR, "extract_binaries", "Qualified path is too long: '%s'", path);
            return VESK_ERR_NO_RESOURCE;
        }
        const vesk_result made = check_dir(shell32, path);
        if (made != VESK_OK) return made;
        append_cut(path, sizeof path, "\\");
        append_cut(path, sizeof path, row.file_name);
        if (std::strlen(package_dir) + std::strlen(row.directory) + std::strlen(row.file_name) > kMaxJoined) {
            vesk_log_message(VESK_LOG_ERROR, "extract_binaries", "Qualified path is too long: '%s'", path);
            return VESK_ERR_NO_RESOURCE;
        }
        FILE* f = fopen_as_userU(path);
        if (!f) {
            vesk_log_message(VESK_LOG_ERROR, "extract_binaries", "Could not create file '%s' (%s)", path,
                             last_error_text(0));
            return VESK_ERR_NO_RESOURCE;
        }
        const std::size_t length = static_cast<uint32_t>(row.length);
        const std::size_t written = length ? std::fwrite(row.bytes, 1, length, f) : 0;
        const bool closed = std::fclose(f) == 0;
        // A short write (a full disk) would leave a broken package that looks complete.
        if (written != length || !closed) {
            vesk_log_message(VESK_LOG_ERROR, "extract_binaries", "Could not write file '%s'", path);
            return VESK_ERR_NO_RESOURCE;
        }
    }
    vesk_log_message(VESK_LOG_INFO, "extract_binaries", "Successfully extracted driver files to '%s'", package_dir);
    return VESK_OK;
}
