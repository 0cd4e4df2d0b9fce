// The Windows release as one comparable number (major * 16 + minor; -1 unknown) and the
// native machine type.
#pragma once

#include <atomic>
#include <cstdint>

inline constexpr int kWindows7 = 0x61;
inline constexpr int kWindows10 = 0xA0;
inline constexpr int kWindows11 = 0xB0;

extern std::atomic<int> windows_version;

void detect_windows_version();
uint16_t GetPlatformArch();

// Whether Windows runs with test signing on (the code-integrity query of Ntdll; off when it
// cannot tell), logged at info level under the caller's label.
bool test_signing_enabled(const char* source);

// Detects when unknown; below Windows 7 logs "This version of Windows is no longer supported"
// under the caller's label and returns false.
bool windows_version_supported(const char* source);
