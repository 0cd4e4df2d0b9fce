// The driver kinds a package can be prepared for: their names, templates and compatible IDs,
// in the order of vesk_driver_kind.
#pragma once

struct KindData {
    const char* display_name;
    const char* inf_template;
    const char* cat_template;
    const char* compatible_id;
};
inline constexpr KindData kKinds[] = {
    {"WinUSB", "winusb.inf.in", "winusb.cat.in", "MS_COMP_WINUSB"},
    {"libusb0.sys", "libusb0.inf.in", "libusb0.cat.in", "MS_COMP_LIBUSB0"},
    {"libusbK.sys", "libusbk.inf.in", "libusbk.cat.in", "MS_COMP_LIBUSBK"},
    {"Generic USB CDC", "usbser.inf.in", "usbser.cat.in", "MS_COMP_USBSER"},
    {"user driver", nullptr, nullptr, nullptr},
};
