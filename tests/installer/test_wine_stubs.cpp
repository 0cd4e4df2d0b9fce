// The installer's re-enumeration on plain Wine, whose CM_Locate_DevNodeA and
// CM_Reenumerate_DevNode are stubs: the failures are only reported. Flagging removed instances
// is tested against the configuration-manager double (test_phantom_devices.cpp), since with
// Wine's status stub nothing is ever flagged and a flagging that did nothing would pass too.
#include <windows.h>

#include <doctest.h>

#include "installer.h"
#include "pipe_capture.h"

TEST_CASE("re-enumeration fails with Wine's CR_FAILURE and says so") {
    capture::PipeCapture pipe;
    InstallerSession session{pipe.client, {}, {}, {}};
    REQUIRE(load_installer_apis(session.apis));
    struct Case {
        const char* id;
        const char* said;
    };
    const Case cases[] = {
        {"USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1",
         "failed to locate device_id USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1: 13\n"},
        {nullptr, "failed to locate device_id <root>: 13\n"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.said);
        pipe.clear();
        CHECK(reenumerate_device(session, c.id) == -1);
        CHECK(pipe.wait_for_text(c.said));
    }
}
