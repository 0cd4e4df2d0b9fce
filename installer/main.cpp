// Installer program entry.
#include <windows.h>

#include "libvesk.h"
#include "load_library.h"

int wmain(int, wchar_t**) {
    restrict_dll_search();
    return VESK_ERR_NOT_SUPPORTED;
}
