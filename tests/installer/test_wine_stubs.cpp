// The installer's configuration-manager steps on plain Wine, whose CM_Locate_DevNodeA,
// CM_Reenumerate_DevNode and CM_Get_DevNode_Status are stubs: the failures are only reported,
// and no present device is ever taken for a removed one.
#include <windows.h>

#include <doctest.h>

#include "installer.h"
#include "pipe_capture.h"
#include "usb_devices.h"

TEST_CASE("re-enumeration fails with Wine's CR_FAILURE and says so") {
    capture::PipeCapture pipe;
    REQUIRE(load_installer_apis());
    struct Case {
        const char* id;
        const char* said;
    };
    const Case cases[] = {
        {"USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1", "failed to locate device_id USB\\VID_2E3C&PID_DF11\\5&1A2B3C&0&1: 13\n"},
        {nullptr, "failed to locate device_id <root>: 13\n"},
    };
    for (const Case& c : cases) {
        CAPTURE(c.said);
        pipe.clear();
        CHECK(reenumerate_device(c.id) == -1);
        CHECK(pipe.wait_for_text(c.said));
    }
    release_installer_apis();
}

TEST_CASE("with Wine's status stub every node looks present: nothing is flagged, nothing is said") {
    fixture::UsbDevice gone = fixture::bootloader("5&REMOVED&0&1");
    fixture::ScopedUsbDevice node(gone);
    REQUIRE_MESSAGE(node.ok(), node.error());
    capture::PipeCapture pipe;
    REQUIRE(load_installer_apis());
    flag_phantom_devices("USB\\VID_2E3C&PID_DF11&REV_0200");
    flag_phantom_devices(gone.hardware_ids.front().c_str());
    release_installer_apis();
    CHECK_FALSE(pipe.wait_for([&] { return !pipe.texts().empty(); }, 300));
}
