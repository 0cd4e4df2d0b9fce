// Removed ("phantom") instances of the device keep their old driver; flagging them for
// reinstallation makes Windows install the stored INF when the device comes back.
#include <windows.h>
#include <cfgmgr32.h>
#include <regstr.h>
#include <setupapi.h>

#include <cstring>

#include "installer.h"
#include "installer_protocol.h"

namespace {
constexpr std::size_t kHardwareIdBytes = 256;
}  // namespace

void flag_phantom_devices(InstallerSession& session, const char* hardware_id) {
    const SetupApi& setupapi = session.apis.setupapi;
    OwnedDevInfo devices =
        own_device_info(setupapi, setupapi.get_class_devs(nullptr, "USB", nullptr, DIGCF_ALLCLASSES));
    if (!devices) return;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    if (!setupapi.enum_device_info(devices.get(), 0, &data)) return;
    const char* wanted = hardware_id ? hardware_id : "<NULL>";
    int flagged = 0;
    for (DWORD i = 0; setupapi.enum_device_info(devices.get(), i, &data); ++i) {
        char ids[kHardwareIdBytes] = {};
        // One byte short, so that a cut list still ends in NUL.
        if (!setupapi.get_registry_property_a(devices.get(), &data, SPDRP_HARDWAREID, nullptr,
                                              reinterpret_cast<BYTE*>(ids), sizeof ids - 1, nullptr))
            continue;
        if (std::strncmp(ids, wanted, kHardwareIdBytes) != 0) continue;
        ULONG status = 0, problem = 0;
        if (session.apis.cfgmgr.get_devnode_status(&status, &problem, data.DevInst, 0) != CR_NO_SUCH_DEVINST)
            continue;  // present
        DWORD flags = 0;
        if (!setupapi.get_registry_property_a(devices.get(), &data, SPDRP_CONFIGFLAGS, nullptr,
                                              reinterpret_cast<BYTE*>(&flags), sizeof flags, nullptr)) {
            installer_log(session.client, "could not read SPDRP_CONFIGFLAGS for phantom device %s", ids);
            continue;
        }
        flags |= CONFIGFLAG_REINSTALL;
        if (!setupapi.set_registry_property_a(devices.get(), &data, SPDRP_CONFIGFLAGS, reinterpret_cast<BYTE*>(&flags),
                                              sizeof flags)) {
            installer_log(session.client, "could not write SPDRP_CONFIGFLAGS for phantom device %s", ids);
            continue;
        }
        ++flagged;
    }
    if (flagged > 0) installer_log(session.client, "flagged %d removed devices for reinstallation", flagged);
}
