#include "platform.h"
#include "libvesk.h"

#include <windows.h>

#include "load_library.h"
#include "vesk_log.h"

std::atomic<int> windows_version{-1};

namespace {
bool version_equals(DWORD type, DWORD major, DWORD minor) {
    OSVERSIONINFOEXA probe = {};
    probe.dwOSVersionInfoSize = sizeof probe;
    probe.dwMajorVersion = major;
    probe.dwMinorVersion = minor;
    const ULONGLONG mask = VerSetConditionMask(0, type, VER_EQUAL);
    return VerifyVersionInfoA(&probe, type, mask) != FALSE;
}
}  // namespace

void detect_windows_version() {
    windows_version = -1;
    OSVERSIONINFOEXA vi = {};
    vi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&vi))) {
        vi.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&vi))) return;
    }
    if (vi.dwPlatformId != VER_PLATFORM_WIN32_NT) return;
    DWORD major = vi.dwMajorVersion;
    DWORD minor = vi.dwMinorVersion;
    // Programs without a compatibility declaration may be told 6.2; ask for the true release.
    if (major > 6 || (major == 6 && minor >= 2)) {
        for (DWORD m = major; m <= 9; ++m) {
            if (!version_equals(VER_MAJORVERSION, m, 0)) continue;
            if (m > major) {
                major = m;
                minor = 0;
            }
            for (DWORD n = minor; n <= 9; ++n) {
                if (version_equals(VER_MINORVERSION, 0, n)) {
                    minor = n;
                    break;
                }
            }
            break;
        }
    }
    if (major > 15 || minor > 15) return;
    int code = static_cast<int>(major * 16 + minor);
    if (code < 0x51) code = 0;
    if (code == kWindows10 && vi.dwBuildNumber >= 20000) code = kWindows11;
    windows_version = code;
}

bool windows_version_supported(const char* source) {
    if (windows_version.load() == -1) detect_windows_version();
    if (windows_version.load() < kWindows7) {
        vesk_log_message(VESK_LOG_ERROR, source, "This version of Windows is no longer supported");
        return false;
    }
    return true;
}

uint16_t GetPlatformArch() {
    using IsWow64Process2Fn = BOOL WINAPI(HANDLE, USHORT*, USHORT*);  // Windows 10 1511 and later
    UniqueModule kernel(load_system_library("Kernel32"));
    IsWow64Process2Fn* is_wow64_2 = nullptr;
    if (resolve_optional(kernel.get(), "IsWow64Process2", is_wow64_2)) {
        USHORT process = 0, native = 0;
        if (is_wow64_2(GetCurrentProcess(), &process, &native)) return native;
    }
    uint16_t arch = IMAGE_FILE_MACHINE_I386;
#if defined(_WIN64)
    arch = IMAGE_FILE_MACHINE_AMD64;  // a 64-bit build runs only on a 64-bit Windows
#else
    BOOL wow64 = FALSE;
    if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) arch = IMAGE_FILE_MACHINE_AMD64;
#endif
    vesk_log_message(VESK_LOG_WARNING, "GetPlatformArch",
                     "Note: Underlying Windows architecture was guessed and may be incorrect...");
    return arch;
}

bool test_signing_enabled(const char* source) {
    struct CodeIntegrityInformation {
        ULONG length;
        ULONG options;
    };
    using QueryFn = LONG WINAPI(ULONG, void*, ULONG, ULONG*);
    constexpr ULONG kSystemCodeIntegrityInformation = 103;
    constexpr ULONG kTestSign = 0x2;  // CODEINTEGRITY_OPTION_TESTSIGN
    UniqueModule ntdll(load_system_library("Ntdll"));
    QueryFn* query = nullptr;
    if (!resolve_optional(ntdll.get(), "NtQuerySystemInformation", query)) return false;
    CodeIntegrityInformation info{sizeof info, 0};
    ULONG returned = 0;
    const LONG status = query(kSystemCodeIntegrityInformation, &info, sizeof info, &returned);
    const bool on = status >= 0 && returned == sizeof info && (info.options & kTestSign) != 0;
    vesk_log_message(VESK_LOG_INFO, source, "Test signing is: %s", on ? "Enabled" : "Disabled");
    return on;
}
