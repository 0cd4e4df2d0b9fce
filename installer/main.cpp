// Installer program entry: started by the library, elevated, in the package directory, with
// the INF name and the pipe's name as its arguments.
#include <cstdio>

#include "installer.h"
#include "installer_client.h"
#include "installer_protocol.h"
#include "load_library.h"

int main(int argc, char** argv) {
    restrict_dll_search();
    // Started by hand, or with a pipe name that is not one the library makes: nothing to talk to.
    InstallerPipeName name{};
    InstallerClient client;
    bool refused = false;
    if (argc < 3 || !installer_pipe_name_from_token(argv[2], name) || !open_installer_pipe(client, name, &refused)) {
        if (refused) {
            std::fputs("The installer pipe is not served by the program that started this installer.\n", stdout);
            return VESK_ERR_NOT_SUPPORTED;
        }
        std::fputs("This application can not be run from the command line.\n", stdout);
        std::fputs("Please use your initial installer application if you want to install the driver.\n", stdout);
        return VESK_ERR_NOT_SUPPORTED;
    }
    set_report_client(&client);
    const vesk_result result = run_installer(client, argc, argv);
    set_report_client(nullptr);
    return result;
}
