// Setup program entry.
#include <windows.h>

#include "libvesk.h"
#include "load_library.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    restrict_dll_search();
    return 0;
}
