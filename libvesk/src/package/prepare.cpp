#include "prepare.h"

#include <windows.h>

#include <cstring>

#include "build_info.h"
#include "catalog_step.h"
#include "dll_tables.h"
#include "driver_kinds.h"
#include "driver_support.h"
#include "files.h"
#include "format_into.h"
#include "global_guard.h"
#include "inf_file.h"
#include "libvesk.h"
#include "payload_extract.h"
#include "platform.h"
#include "sizes.h"
#include "step_timer.h"
#include "token_values.h"
#include "vesk_log.h"

namespace {
constexpr const char* kSource = kPrepareSource;

#if VESK_CARRIES_STANDINS
// The process environment (not the C runtime's copy), so that a test can change it.
bool test_build_allowed() {
    wchar_t value[4];
    return GetEnvironmentVariableW(L"VESK_TEST_BUILD", value, 4) == 1 && value[0] == L'1';
}
#endif

// The INF base name (after the last "\" or "/"), which must end in ".inf".
vesk_result check_arguments(const vesk_device* device, const char* inf_name) {
    if (!device || !inf_name) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "One of the required parameter is NULL");
        return VESK_ERR_INVALID_PARAMETER;
    }
    const char* inf_base = base_name(inf_name);
    const std::size_t inf_len = std::strlen(inf_base);
    if (inf_len < 4 || std::memcmp(inf_base + inf_len - 4, ".inf", 4) != 0) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Inf name provided must have a '.inf' extension");
        return VESK_ERR_INVALID_PARAMETER;
    }
    return VESK_OK;
}

// The given directory, made to exist. None is refused: TEMP is the user's to write in.
vesk_result package_directory(const Shell32& shell32, const char* path, char (&dir)[kPathBytes]) {
    if (!path || !path[0]) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "No path provided - a package directory is required");
        return VESK_ERR_INVALID_PARAMETER;
    }
    if (!copy_package_directory(path, dir, kSource)) return VESK_ERR_INVALID_PARAMETER;
    return check_dir(shell32, dir);
}

// The requested kind, or the first one this build prepares, with its version cache slot filled.
vesk_result choose_kind(const vesk_prepare_options* options, int& kind) {
    kind = options ? options->driver_kind : VESK_DRIVER_WINUSB;
    if (kind < VESK_DRIVER_WINUSB || kind > VESK_DRIVER_USER) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Program assertion failed - Unknown driver type");
        return VESK_ERR_INVALID_PARAMETER;
    }
    if (!vesk_is_driver_supported(kind, kind < kVersionCacheSlots ? &version_cache[kind] : nullptr)) {
        for (kind = 0; kind <= VESK_DRIVER_USER; ++kind)
            if (vesk_is_driver_supported(kind, nullptr)) break;
        if (kind > VESK_DRIVER_USER) return VESK_ERR_NOT_SUPPORTED;  // no kind at all: cannot happen here
        vesk_log_message(VESK_LOG_WARNING, kSource, "unsupported or no driver type specified, will use %s",
                         kKinds[kind].display_name);
    }
    return VESK_OK;
}

}  // namespace

vesk_result vesk_prepare_driver(const vesk_device* device, const char* path, const char* inf_name,
                                const vesk_prepare_options* options) {
#if VESK_CARRIES_STANDINS
    // The stand-ins would land in System32 under Microsoft's names: only a test may go on.
    if (!test_build_allowed()) {
        vesk_log_message(VESK_LOG_ERROR, kSource,
                         "This test build carries co-installer stand-ins and cannot install on a real PC; "
                         "nothing was written (tests set VESK_TEST_BUILD=1)");
        return VESK_ERR_NOT_SUPPORTED;
    }
#endif
    StepTimer package_timer;
    GlobalGuard lock(kSource, log_guard_report);
    if (lock.status() != VESK_OK) return lock.status();
    if (!windows_version_supported(kSource)) return VESK_ERR_NOT_SUPPORTED;
    if (const vesk_result r = check_arguments(device, inf_name); r != VESK_OK) return r;
    const char* inf_base = base_name(inf_name);
    const std::size_t inf_len = std::strlen(inf_base);
    // A missing IsUserAnAdmin fails here rather than passing for a user without rights, which
    // would skip the catalog and still report success.
    Shell32 shell32;
    Ole32 ole32;
    bool loaded = load_table(shell32, kSource);  // &=: both report what they lack
    loaded &= load_table(ole32, kSource);
    if (!loaded) return VESK_ERR_NO_RESOURCE;

    char dir[kPathBytes];
    if (const vesk_result r = package_directory(shell32, path, dir); r != VESK_OK) return r;
    int kind = VESK_DRIVER_WINUSB;
    if (const vesk_result r = choose_kind(options, kind); r != VESK_OK) return r;
    if (!device->description) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "No device ID was given for the device - aborting");
        return VESK_ERR_INVALID_PARAMETER;
    }
    if (const vesk_result r = extract_binaries(shell32, dir); r != VESK_OK) return r;

    const std::size_t dir_len = std::strlen(dir);
    if (inf_len >= kPathBytes || dir_len + inf_len > kPathBytes - 2) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Qualified path for inf file is too long: '%s\\%s", dir, inf_base);
        return VESK_ERR_NO_RESOURCE;
    }
    char inf_path[kPathBytes];
    (void)format_into(inf_path, sizeof inf_path, "%s\\%s", dir, inf_base);
    char cat_path[kPathBytes];
    std::memcpy(cat_path, inf_path, sizeof inf_path);
    std::memcpy(cat_path + std::strlen(cat_path) - 3, "cat", 3);

    if (const vesk_result r = set_token_values(ole32, *device, options, kind, inf_base); r != VESK_OK) return r;
    if (const vesk_result r = write_inf(options, inf_name, kKinds[kind], inf_path); r != VESK_OK) return r;
    package_timer.lap("package");
    return make_catalog(shell32, options, kKinds[kind], inf_base, dir, cat_path);
}
