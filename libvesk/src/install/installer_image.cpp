#include "installer_image.h"

#include <cstring>

#include "error_text.h"
#include "files.h"
#include "format_into.h"
#include "sizes.h"
#include "vesk_log.h"

namespace {
constexpr const char* kSource = "hold_installer";
constexpr DWORD kChunkBytes = 64 * 1024;
}  // namespace

vesk_result hold_installer(const char* directory, const char* program, UniqueFile& held) {
    held.reset();
    const std::span<const unsigned char> want = installer_reference(program);
    if (want.empty()) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "This application carries no %s to compare with", program);
        return VESK_ERR_NOT_FOUND;
    }
    char path[kPathBytes];
    if (format_into(path, sizeof path, "%s\\%s", directory, program) != Fit::ok) return VESK_ERR_NO_RESOURCE;
    Utf16 wide(to_utf16(path));
    if (!wide) return VESK_ERR_NO_RESOURCE;
    // Reading shared, writing and deleting denied: the bytes compared are the bytes started.
    UniqueFile file(CreateFileW(wide.get(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Could not lock installer '%s': %s", path, last_error_text(0));
        return VESK_ERR_ACCESS_DENIED;
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || static_cast<uint64_t>(size.QuadPart) != want.size()) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Installer '%s' is not the one this application carries", path);
        return VESK_ERR_ACCESS_DENIED;
    }
    MallocPtr<unsigned char> chunk(static_cast<unsigned char*>(std::malloc(kChunkBytes)));
    if (!chunk) return VESK_ERR_NO_RESOURCE;
    for (std::size_t offset = 0; offset < want.size();) {
        DWORD got = 0;
        const std::size_t rest = want.size() - offset;
        const DWORD ask = rest < kChunkBytes ? static_cast<DWORD>(rest) : kChunkBytes;
        if (!ReadFile(file.get(), chunk.get(), ask, &got, nullptr) || got == 0 ||
            std::memcmp(chunk.get(), want.data() + offset, got) != 0) {
            vesk_log_message(VESK_LOG_ERROR, kSource, "Installer '%s' is not the one this application carries", path);
            return VESK_ERR_ACCESS_DENIED;
        }
        offset += got;
    }
    held = std::move(file);
    return VESK_OK;
}
