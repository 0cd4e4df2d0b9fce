#include "install_errors.h"

#include <cstring>

namespace {
constexpr char kNotFound[] = "The system can not find the file or path specified (%s).";
constexpr char kBadSyntax[] = "The syntax of the INF file is invalid.";
constexpr char kBadSection[] = "A section of the INF file has a problem.";
constexpr char kUntrusted[] = "This version of Windows is refusing to trust the installed certificate.";
constexpr char kUpdateDisabled[] = "The \"Windows Update\" service is disabled. Please enable that service.";
constexpr char kCatSignature[] = "Invalid CAT file signature or operation cancelled by user.";

constexpr install_error_row kRows[] = {
    {2, VESK_ERR_NOT_FOUND, {kNotFound}},
    {3, VESK_ERR_NOT_FOUND, {kNotFound}},
    {110, VESK_ERR_NOT_FOUND, {kNotFound}},
    {5, VESK_ERR_NEEDS_ELEVATION, {"This process needs to be run with administrative privileges."}},
    {13, VESK_ERR_BAD_INF, {kBadSyntax}},
    {87, VESK_ERR_INVALID_PARAMETER, {"Invalid path or hardware ID (%s)."}},
    {183, VESK_ERR_ALREADY_EXISTS, {"This driver already exists."}},
    {259, VESK_ERR_ALREADY_EXISTS, {"A more recent driver was found (force option required)."}},
    {265, VESK_ERR_NOT_SUPPORTED, {kUntrusted}},
    {1058, VESK_ERR_OTHER, {kUpdateDisabled}},
    {1459, VESK_ERR_OTHER, {"The driver installation requires an interactive window."}},
    {1460, VESK_ERR_TIMED_OUT, {"The driver installation timed out"}},
    {3010, VESK_OK, {"The driver was installed successfully, but a reboot is required."}},
    {0x00240006, VESK_OK, {"This driver is already installed."}},
    {0x800F0217, VESK_ERR_BAD_INF, {kBadSection}},
    {0x800F0219, VESK_ERR_BAD_INF, {kBadSection}},
    {0x800F0233, VESK_ERR_BAD_INF, {kBadSyntax}},
    {0x8024002E, VESK_ERR_OTHER, {kUpdateDisabled}},
    {0xE0000003, VESK_ERR_BAD_INF, {kBadSyntax}},
    {0xE0000100, VESK_ERR_BAD_INF, {kBadSyntax}},
    {0xE0000203, VESK_ERR_NOT_SUPPORTED, {"The driver is not compatible with this version of Windows."}},
    {0xE000020B, VESK_OK, {"Device was not detected (Copying driver files for next time device is plugged in)."}},
    {0xE0000217, VESK_ERR_BAD_INF, {kBadSection}},
    {0xE000022F,
     VESK_ERR_UNSIGNED_REJECTED,
     {"Your system policy has been modified from Windows defaults, and",
      "is set to reject unsigned drivers. You must revert the driver",
      "installation policy to default if you want to install this driver."}},
    {0xE0000234,
     VESK_ERR_NOT_SUPPORTED,
     {"A driver component being installed does not match this platform's architecture."}},
    {0xE0000235, VESK_ERR_WRONG_ARCH, {"Attempted to use a 32 bit installer on a 64 bit machine."}},
    {0xE000023F, VESK_ERR_CANCELLED, {kCatSignature}},
    {0xE0000247, VESK_ERR_CANCELLED, {kCatSignature}},
    {0xE0000243, VESK_ERR_NOT_SUPPORTED, {kUntrusted}},
    {0xE0000246,
     VESK_ERR_INSTALL_PENDING,
     {"Another system installer is running. Please wait for that installer to complete."}},
    {0xE000024B, VESK_ERR_NOT_FOUND, {"Unable to locate the file hashes in the CAT file."}},
    {0xE0000304, VESK_ERR_NO_CATALOG, {"Unable to locate the CAT file"}},
};
}  // namespace

const install_error_row* find_install_error(uint32_t code) {
    for (const install_error_row& row : kRows)
        if (row.code == code) return &row;
    return nullptr;
}

void fill_install_error_text(const char* text, const char* inf_path, char* out, std::size_t cap) {
    if (cap == 0) return;
    std::size_t used = 0;
    auto put = [&](const char* s, std::size_t n) {
        const std::size_t room = cap - 1 - used;
        if (n > room) n = room;
        std::memcpy(out + used, s, n);
        used += n;
    };
    const char* hole = text ? std::strstr(text, "%s") : nullptr;
    if (!text) {
        out[0] = '\0';
        return;
    }
    if (!hole) {
        put(text, std::strlen(text));
    } else {
        const char* path = inf_path ? inf_path : "";
        put(text, static_cast<std::size_t>(hole - text));
        put(path, std::strlen(path));
        put(hole + 2, std::strlen(hole + 2));
    }
    out[used] = '\0';
}

uint32_t system_message_code(uint32_t code) {
    const uint32_t top = code & 0xE0000000u;
    if (top == 0) return code == 0 ? 0 : 0x80070000u | (code & 0xFFFFu);
    if (top == 0xE0000000u) return 0x800F0000u | (code & 0xFFFFu);
    return code;
}
