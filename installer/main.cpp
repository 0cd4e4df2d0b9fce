// Installer program entry: started by the library, elevated, in the package directory.
#include <cstdio>

#include "installer.h"
#include "installer_protocol.h"
#include "load_library.h"

int main(int argc, char** argv) {
    restrict_dll_search();
    bool refused = false;
    installer_pipe = open_installer_pipe(&refused);
    if (refused) {
        std::fputs("The installer pipe is not served by the program that started this installer.\n", stdout);
        return VESK_ERR_NOT_SUPPORTED;
    }
    if (installer_pipe == INVALID_HANDLE_VALUE) {
        std::fputs("This application can not be run from the command line.\n", stdout);
        std::fputs("Please use your initial installer application if you want to install the driver.\n", stdout);
        return VESK_ERR_NOT_SUPPORTED;
    }
    const vesk_result result = run_installer(argc, argv);
    CloseHandle(installer_pipe);
    installer_pipe = INVALID_HANDLE_VALUE;
    return result;
}
