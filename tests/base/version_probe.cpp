// Prints what the library detects in this process: "version=0x%X arch=0x%X supported=%d".
// Run as a child of test_platform under per-program Wine settings.
#include <cstdio>

#include "load_library.h"
#include "platform.h"

int main() {
    restrict_dll_search();
    detect_windows_version();
    const int version = windows_version.load();
    const unsigned arch = GetPlatformArch();
    const bool supported = windows_version_supported("version_probe");
    std::printf("version=0x%X arch=0x%X supported=%d\n", static_cast<unsigned>(version), arch, supported ? 1 : 0);
    return 0;
}
