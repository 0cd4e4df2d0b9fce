// The installer's error mapping as the user must see it: every Windows code it knows, the
// texts in sending order ("%s": the INF path) and the result. Written out here, apart from
// the program's table, so that a changed row shows.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "libvesk.h"

namespace error_rows {
struct Row {
    uint32_t code;
    vesk_result result;
    std::initializer_list<const char*> texts;
};

inline const Row kRows[] = {
    {2, VESK_ERR_NOT_FOUND, {"The system can not find the file or path specified (%s)."}},
    {3, VESK_ERR_NOT_FOUND, {"The system can not find the file or path specified (%s)."}},
    {110, VESK_ERR_NOT_FOUND, {"The system can not find the file or path specified (%s)."}},
    {5, VESK_ERR_NEEDS_ELEVATION, {"This process needs to be run with administrative privileges."}},
    {13, VESK_ERR_BAD_INF, {"The syntax of the INF file is invalid."}},
    {87, VESK_ERR_INVALID_PARAMETER, {"Invalid path or hardware ID (%s)."}},
    {183, VESK_ERR_ALREADY_EXISTS, {"This driver already exists."}},
    {259, VESK_ERR_ALREADY_EXISTS, {"A more recent driver was found (force option required)."}},
    {265, VESK_ERR_NOT_SUPPORTED, {"This version of Windows is refusing to trust the installed certificate."}},
    {1058, VESK_ERR_OTHER, {"The \"Windows Update\" service is disabled. Please enable that service."}},
    {1459, VESK_ERR_OTHER, {"The driver installation requires an interactive window."}},
    {1460, VESK_ERR_TIMED_OUT, {"The driver installation timed out"}},
    {3010, VESK_OK, {"The driver was installed successfully, but a reboot is required."}},
    {0x00240006, VESK_OK, {"This driver is already installed."}},
    {0x800F0217, VESK_ERR_BAD_INF, {"A section of the INF file has a problem."}},
    {0x800F0219, VESK_ERR_BAD_INF, {"A section of the INF file has a problem."}},
    {0x800F0233, VESK_ERR_BAD_INF, {"The syntax of the INF file is invalid."}},
    {0x8024002E, VESK_ERR_OTHER, {"The \"Windows Update\" service is disabled. Please enable that service."}},
    {0xE0000003, VESK_ERR_BAD_INF, {"The syntax of the INF file is invalid."}},
    {0xE0000100, VESK_ERR_BAD_INF, {"The syntax of the INF file is invalid."}},
    {0xE0000203, VESK_ERR_NOT_SUPPORTED, {"The driver is not compatible with this version of Windows."}},
    {0xE000020B, VESK_OK, {"Device was not detected (Copying driver files for next time device is plugged in)."}},
    {0xE0000217, VESK_ERR_BAD_INF, {"A section of the INF file has a problem."}},
    {0xE000022F,
     VESK_ERR_UNSIGNED_REJECTED,
     {"Your system policy has been modified from Windows defaults, and",
      "is set to reject unsigned drivers. You must revert the driver",
      "installation policy to default if you want to install this driver."}},
    {0xE0000234,
     VESK_ERR_NOT_SUPPORTED,
     {"A driver component being installed does not match this platform's architecture."}},
    {0xE0000235, VESK_ERR_WRONG_ARCH, {"Attempted to use a 32 bit installer on a 64 bit machine."}},
    {0xE000023F, VESK_ERR_CANCELLED, {"Invalid CAT file signature or operation cancelled by user."}},
    {0xE0000247, VESK_ERR_CANCELLED, {"Invalid CAT file signature or operation cancelled by user."}},
    {0xE0000243, VESK_ERR_NOT_SUPPORTED, {"This version of Windows is refusing to trust the installed certificate."}},
    {0xE0000246,
     VESK_ERR_INSTALL_PENDING,
     {"Another system installer is running. Please wait for that installer to complete."}},
    {0xE000024B, VESK_ERR_NOT_FOUND, {"Unable to locate the file hashes in the CAT file."}},
    {0xE0000304, VESK_ERR_NO_CATALOG, {"Unable to locate the CAT file"}},
};

// Neighbours of known codes and codes of other families that the mapping must not know.
inline const uint32_t kUnknownCodes[] = {0,          1,          4,          6,          14,         111,
                                         184,        3011,       0x00240005, 0x80070005, 0x800F0218, 0xE0000002,
                                         0xE000020A, 0xE000020C, 0xE0000230, 0xE0000305, 0x12345678};
}  // namespace error_rows
