// Prepares the WinUSB package of the whole-installation tests into a new directory, in a
// process of its own: e2e_prepare DIR. Used where the catalog doubles must not reach the
// installer (a 32-bit prefix, see e2e_support.h). Exit code 0 when the package is there.
#define DOCTEST_CONFIG_IMPLEMENT  // the shared helpers use doctest; this program runs no tests
#include <windows.h>

#include <cstdio>

#include "e2e_support.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: e2e_prepare DIR\n", stderr);
        return 2;
    }
    if (!CreateDirectoryA(argv[1], nullptr)) {
        std::fprintf(stderr, "e2e_prepare: cannot create %s (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    vesk_set_log_threshold(VESK_LOG_DEBUG);  // the library logs to the console without a logger
    const vesk_result result = e2e::prepare_package(argv[1]);
    if (result != VESK_OK) std::fprintf(stderr, "e2e_prepare: %s\n", vesk_error_text(result));
    return result == VESK_OK ? 0 : 1;
}
