// Removed ("phantom") instances of the device flagged for reinstallation. Wine's
// CM_Get_DevNode_Status calls every node present, so the configuration-manager double
// (with-doubles.sh) answers CR_NO_SUCH_DEVINST for the nodes the test lists as unplugged.
#include <windows.h>
#include <regstr.h>
#include <setupapi.h>

#include <doctest.h>

#include <memory>
#include <string>
#include <vector>

#include "doubles_support.h"
#include "installer.h"
#include "pipe_capture.h"
#include "usb_devices.h"

namespace {
constexpr char kFirstId[] = "USB\\VID_2E3C&PID_DF11&REV_0200";  // the bootloader's first hardware ID
constexpr DWORD kNoFlags = 0xFFFFFFFF;                          // the node has no ConfigFlags value

// The double treats these instance IDs as removed.
void set_unplugged(const std::vector<std::string>& ids) {
    std::string list;
    for (const std::string& id : ids) list += id + '\0';
    list += '\0';
    HKEY key = nullptr;
    REQUIRE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, VESK_CFGMGR_KEY, 0, nullptr, 0, KEY_SET_VALUE | kVeskDoublesView,
                            nullptr, &key, nullptr) == ERROR_SUCCESS);
    RegSetValueExA(key, "Unplugged", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                   static_cast<DWORD>(list.size()));
    RegCloseKey(key);
}

// Reads (value kNoFlags: none) or writes a node's SPDRP_CONFIGFLAGS through SetupAPI.
DWORD config_flags(const std::string& instance_id, const DWORD* write = nullptr) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    DWORD flags = kNoFlags;
    if (SetupDiOpenDeviceInfoA(set, instance_id.c_str(), nullptr, 0, &data)) {
        if (write) {
            if (SetupDiSetDeviceRegistryPropertyA(set, &data, SPDRP_CONFIGFLAGS, reinterpret_cast<const BYTE*>(write),
                                                  sizeof *write))
                flags = *write;
        } else if (!SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_CONFIGFLAGS, nullptr,
                                                      reinterpret_cast<BYTE*>(&flags), sizeof flags, nullptr)) {
            flags = kNoFlags;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return flags;
}

struct Node {
    const char* serial;
    std::vector<std::string> hardware_ids;
    bool removed;
    DWORD flags_before;  // kNoFlags: the node has none
    DWORD flags_after;
};

// Makes the nodes (all USB, one instance ID each) and runs flag_phantom_devices over them.
std::vector<std::string> flag_among(const std::vector<Node>& nodes, std::vector<DWORD>& flags_after) {
    doubles::reset_records();
    std::vector<std::unique_ptr<fixture::ScopedUsbDevice>> made;
    std::vector<std::string> removed;
    for (const Node& n : nodes) {
        fixture::UsbDevice d = fixture::bootloader(n.serial);
        d.hardware_ids = n.hardware_ids;
        made.push_back(std::make_unique<fixture::ScopedUsbDevice>(d));
        REQUIRE_MESSAGE(made.back()->ok(), made.back()->error());
        if (n.flags_before != kNoFlags) REQUIRE(config_flags(d.instance_id, &n.flags_before) == n.flags_before);
        if (n.removed) removed.push_back(d.instance_id);
    }
    set_unplugged(removed);
    std::vector<std::string> texts;
    {
        capture::PipeCapture pipe;
        {
            InstallerSession session{pipe.client, {}, {}, {}};
            REQUIRE(load_installer_apis(session.apis));
            flag_phantom_devices(session, kFirstId);
        }
        // Messages arrive in order: once the marker is in, everything sent before it is too.
        installer_log(pipe.client, "end of test");
        REQUIRE(pipe.wait_for_text("end of test"));
        texts = pipe.texts();
        texts.pop_back();
    }
    flags_after.clear();
    for (const auto& m : made) flags_after.push_back(config_flags(m->instance_id()));
    doubles::reset_records();
    return texts;
}
}  // namespace

TEST_CASE("removed instances with the device's first hardware ID are flagged, present ones and others are not") {
    const std::vector<std::string> own = {kFirstId, "USB\\VID_2E3C&PID_DF11"};
    const std::vector<Node> nodes = {
        {"5&PH1&0&1", own, true, 0, CONFIGFLAG_REINSTALL},
        // Bits already set stay set.
        {"5&PH2&0&2", own, true, CONFIGFLAG_FAILEDINSTALL, CONFIGFLAG_FAILEDINSTALL | CONFIGFLAG_REINSTALL},
        {"5&PRESENT&0&3", own, false, 0, 0},
        // Removed, but the ID is not the first of its list, or differs in case or length.
        {"5&OTHER&0&4", {"USB\\VID_2E3C&PID_DF11&REV_0100", kFirstId}, true, 0, 0},
        {"5&CASE&0&5", {"usb\\vid_2e3c&pid_df11&rev_0200"}, true, 0, 0},
        {"5&LONGER&0&6", {"USB\\VID_2E3C&PID_DF11&REV_0200&MI_00"}, true, 0, 0},
    };
    std::vector<DWORD> after;
    const std::vector<std::string> texts = flag_among(nodes, after);
    REQUIRE(after.size() == nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        CAPTURE(nodes[i].serial);
        CHECK(after[i] == nodes[i].flags_after);
    }
    CHECK(texts == std::vector<std::string>{"flagged 2 removed devices for reinstallation"});
}

TEST_CASE("nothing to flag: nothing is sent") {
    const std::vector<std::string> own = {kFirstId};
    struct Case {
        const char* name;
        std::vector<Node> nodes;
    };
    const Case cases[] = {
        {"only a present instance", {{"5&PRESENT&0&1", own, false, 0, 0}}},
        {"removed instances of other devices only",
         {{"5&PRESENT&0&1", own, false, 0, 0}, {"5&OTHER&0&2", {"USB\\VID_2E3C&PID_DF12&REV_0200"}, true, 0, 0}}},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        std::vector<DWORD> after;
        CHECK(flag_among(c.nodes, after).empty());
        for (std::size_t i = 0; i < c.nodes.size() && i < after.size(); ++i) CHECK(after[i] == c.nodes[i].flags_after);
    }
}

TEST_CASE("a removed instance without ConfigFlags is reported by its hardware ID and not counted") {
    const std::vector<std::string> own = {kFirstId, "USB\\VID_2E3C&PID_DF11"};
    std::vector<DWORD> after;
    const std::vector<std::string> texts = flag_among(
        {{"5&NOFLAGS&0&1", own, true, kNoFlags, kNoFlags}, {"5&PH&0&2", own, true, 0, CONFIGFLAG_REINSTALL}}, after);
    REQUIRE(after.size() == 2);
    CHECK(after[0] == kNoFlags);
    CHECK(after[1] == CONFIGFLAG_REINSTALL);
    CHECK(texts ==
          std::vector<std::string>{std::string("could not read SPDRP_CONFIGFLAGS for phantom device ") + kFirstId,
                                   "flagged 1 removed devices for reinstallation"});
}
