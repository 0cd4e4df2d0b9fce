// The USB device list: one record per device node that Windows enumerates under "USB", with its
// identifiers, driver facts and a readable description.
#include <windows.h>

#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <cstdlib>
#include <cstring>

#include "device_fields.h"
#include "error_text.h"
#include "format_into.h"
#include "global_guard.h"
#include "libvesk.h"
#include "dll_tables.h"
#include "owners.h"
#include "platform.h"
#include "vesk_log.h"

namespace {

constexpr char kCreateList[] = "vesk_create_list";
constexpr DEVPROPKEY kBusReportedDeviceDesc = {
    {0x540B947E, 0x8B40, 0x45BC, {0xA8, 0xA2, 0x6A, 0x0B, 0x89, 0x4C, 0xBD, 0xA2}}, 4};
constexpr std::size_t kUnknownDeviceBytes = 32;  // "Unknown Device #%d"

// The two libraries of one scan and the set it walks.
struct Scan {
    const SetupApi& setupapi;
    const Cfgmgr32& cfgmgr;
    HDEVINFO set;
    const vesk_list_options& options;
    int unknown_devices = 0;  // "Unknown Device #%d", numbered within this call
};

char* copy_string(const char* s) {
    if (!s) return nullptr;
    const std::size_t n = std::strlen(s) + 1;
    char* copy = static_cast<char*>(std::malloc(n));
    if (copy) std::memcpy(copy, s, n);
    return copy;
}

void free_records(vesk_device* list) {
    while (list) {
        vesk_device* next = list->next;
        std::free(list->description);
        std::free(list->driver);
        std::free(list->device_id);
        std::free(list->hardware_id);
        std::free(list->compatible_id);
        std::free(list->upper_filter);
        std::free(list);
        list = next;
    }
}

// A single-byte property into the 256-byte buffer; one that does not fit counts as unreadable.
// Lists of strings give their first entry, which the forced terminators keep inside the buffer.
bool read_property(const Scan& scan, SP_DEVINFO_DATA* data, DWORD property, char (&buf)[kDevicePropertyBytes]) {
    DWORD size = 0;
    if (!scan.setupapi.get_registry_property_a(scan.set, data, property, nullptr, reinterpret_cast<BYTE*>(buf),
                                               sizeof buf, &size)) {
        buf[0] = '\0';
        return false;
    }
    if (size < sizeof buf) buf[size] = '\0';  // a value stored without its terminator
    buf[sizeof buf - 1] = '\0';
    return true;
}

// "DriverVersion" of the driver key into the 24-byte buffer; empty when absent or too long.
void read_driver_version(const Scan& scan, SP_DEVINFO_DATA* data, char (&version)[kDriverVersionBytes]) {
    version[0] = '\0';
    const HKEY raw = scan.setupapi.open_dev_reg_key(scan.set, data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (raw == INVALID_HANDLE_VALUE || !raw) return;  // fails with INVALID_HANDLE_VALUE, not null
    UniqueHkey key(raw);
    DWORD type = 0;
    DWORD size = sizeof version;
    if (RegQueryValueExA(key.get(), "DriverVersion", nullptr, &type, reinterpret_cast<BYTE*>(version), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        version[0] = '\0';
        return;
    }
    // A text of 24 characters without room for its terminator does not fit either.
    if (size == 0 || (size == sizeof version && version[size - 1] != '\0')) {
        version[0] = '\0';
        return;
    }
    version[size < sizeof version ? size : sizeof version - 1] = '\0';
}

// The bus-reported description whenever it can be read (even empty), else the registry's.
bool read_description(const Scan& scan, SP_DEVINFO_DATA* data, wchar_t (&desc)[kDescriptionUnits]) {
    desc[0] = L'\0';
    DEVPROPTYPE type = 0;
    DWORD size = 0;
    if (scan.setupapi.get_device_property_w(scan.set, data, &kBusReportedDeviceDesc, &type,
                                            reinterpret_cast<BYTE*>(desc), sizeof desc, &size, 0) &&
        type == DEVPROP_TYPE_STRING) {
        if (size / sizeof(wchar_t) < std::size(desc)) desc[size / sizeof(wchar_t)] = L'\0';
        desc[std::size(desc) - 1] = L'\0';
        return true;
    }
    desc[0] = L'\0';
    if (scan.setupapi.get_registry_property_w(scan.set, data, SPDRP_DEVICEDESC, nullptr, reinterpret_cast<BYTE*>(desc),
                                              sizeof desc, &size)) {
        if (size / sizeof(wchar_t) < std::size(desc)) desc[size / sizeof(wchar_t)] = L'\0';
        desc[std::size(desc) - 1] = L'\0';
        if (desc[0] != L'\0') return true;
    }
    desc[0] = L'\0';
    return false;
}

// UTF-8 copy: "" for an empty text, null when the conversion fails or gives nothing.
char* description_utf8(const wchar_t* desc) {
    if (desc[0] == L'\0') return copy_string("");
    const int n = WideCharToMultiByte(CP_UTF8, 0, desc, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return nullptr;
    char* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(n)));
    if (!out) return nullptr;
    if (WideCharToMultiByte(CP_UTF8, 0, desc, -1, out, n, nullptr, nullptr) <= 1) {
        std::free(out);
        return nullptr;
    }
    return out;
}

void log_piece_error(IdPieceError e, void*) {
    static const char* const texts[] = {"Could not convert VID string", "Could not convert PID string",
                                        "Could not convert MI string"};
    vesk_log_message(VESK_LOG_ERROR, kCreateList, "%s", texts[static_cast<int>(e)]);
}

// Fills one record from device `index`; false when the device is not listed.
bool fill_record(Scan& scan, DWORD index, SP_DEVINFO_DATA* data, vesk_device* dev) {
    const int number = static_cast<int>(index);
    char buf[kDevicePropertyBytes];
    char version[kDriverVersionBytes] = "";

    if (read_property(scan, data, SPDRP_DRIVER, buf)) {
        if (!scan.options.include_installed) return false;
        read_driver_version(scan, data, version);
    }

    const bool has_service = read_property(scan, data, SPDRP_SERVICE, buf);
    if (has_service) dev->driver = copy_string(buf);
    const char* service = has_service ? buf : "";
    const bool hub = is_hub_service(service);
    if (hub && !scan.options.include_hubs) return false;
    const bool composite_parent = is_composite_parent_service(service);
    if (composite_parent && !scan.options.include_hubs) return false;

    if (read_property(scan, data, SPDRP_HARDWAREID, buf)) {
        vesk_log_message(VESK_LOG_DEBUG, kCreateList, "Hardware ID: %s", buf);
    } else {
        vesk_log_message(VESK_LOG_ERROR, kCreateList, "Could not get hardware ID");
    }
    dev->hardware_id = copy_string(buf);

    if (read_property(scan, data, SPDRP_COMPATIBLEIDS, buf))
        vesk_log_message(VESK_LOG_DEBUG, kCreateList, "Compatible ID: %s", buf);
    dev->compatible_id = copy_string(buf);

    if (read_property(scan, data, SPDRP_UPPERFILTERS, buf)) {
        vesk_log_message(VESK_LOG_DEBUG, kCreateList, "Upper filter: %s", buf);
        dev->upper_filter = copy_string(buf);
    }

    dev->driver_version = 0;
    if (version[0] != '\0') {
        vesk_log_message(VESK_LOG_DEBUG, kCreateList, "Driver version: %s", version);
        dev->driver_version = pack_driver_version(version);
    } else if (dev->driver) {
        vesk_log_message(VESK_LOG_WARNING, kCreateList, "Could not read driver version");
    }

    const CONFIGRET cr = scan.cfgmgr.get_device_id(data->DevInst, buf, sizeof buf, 0);  // devnode 0 is valid
    if (cr != CR_SUCCESS) {
        vesk_log_message(VESK_LOG_ERROR, kCreateList, "Could not retrieve simple path for device %d: CR error %d",
                         number, static_cast<int>(cr));
        return false;
    }
    buf[sizeof buf - 1] = '\0';
    vesk_log_message(VESK_LOG_DEBUG, kCreateList, "%s USB device (%d): %s", dev->driver ? dev->driver : "Driverless",
                     number, buf);
    dev->device_id = copy_string(buf);

    wchar_t desc[kDescriptionUnits];
    if (!read_description(scan, data, desc)) {
        vesk_log_message(VESK_LOG_DEBUG, kCreateList, "Could not read device description for %d: %s", number,
                         last_error_text(0));
        char unknown[kUnknownDeviceBytes];
        if (format_into(unknown, sizeof unknown, "Unknown Device #%d", ++scan.unknown_devices) != Fit::ok)
            unknown[0] = '\0';
        for (std::size_t i = 0; i <= std::strlen(unknown); ++i) desc[i] = static_cast<wchar_t>(unknown[i]);
    }

    const InstanceIdParts parts = parse_instance_id(buf, log_piece_error);
    if (parts.vendor_set) dev->vendor_id = parts.vendor_id;
    if (parts.product_set) dev->product_id = parts.product_id;
    dev->composite = parts.composite ? 1 : 0;
    dev->interface_number = parts.composite ? parts.interface_number : 0;
    if (parts.composite) append_interface_suffix(desc, parts.interface_number);

    if (hub && !parts.has_vendor) return false;  // root hubs, even with include_hubs
    if (composite_parent) append_composite_suffix(desc);

    dev->description = description_utf8(desc);
    if (dev->description && scan.options.trim_description) trim_trailing_space(dev->description);
    vesk_log_message(VESK_LOG_DEBUG, kCreateList, "Device description: '%s'", dev->description ? dev->description : "");
    return true;
}

}  // namespace

vesk_result vesk_create_list(vesk_device** list, const vesk_list_options* options) {
    GlobalGuard guard(kCreateList, log_guard_report);
    if (guard.status() != VESK_OK) return guard.status();
    if (!windows_version_supported(kCreateList)) return VESK_ERR_NOT_SUPPORTED;
    if (!list) return VESK_ERR_INVALID_PARAMETER;
    *list = nullptr;

    SetupApi setupapi;
    Cfgmgr32 cfgmgr;
    // SetupAPI first, so that a Cfgmgr32 that forwards to it (Wine's) finds it already loaded
    // from the system directory; both report what they lack.
    bool loaded = load_table(setupapi, kCreateList);
    loaded &= load_table(cfgmgr, kCreateList);
    if (!loaded) return VESK_ERR_NO_RESOURCE;

    static const vesk_list_options none = {};
    const vesk_list_options& opts = options ? *options : none;

    OwnedDevInfo set =
        own_device_info(setupapi, setupapi.get_class_devs(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    if (!set) return VESK_ERR_NO_SUCH_DEVICE;

    Scan scan{setupapi, cfgmgr, set.get(), opts};
    vesk_device* head = nullptr;
    vesk_device* tail = nullptr;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    for (DWORD index = 0; setupapi.enum_device_info(set.get(), index, &data); ++index) {
        auto* dev = static_cast<vesk_device*>(std::calloc(1, sizeof(vesk_device)));
        if (!dev) {
            free_records(head);
            return VESK_ERR_NO_RESOURCE;
        }
        if (!fill_record(scan, index, &data, dev)) {
            free_records(dev);
            continue;
        }
        if (tail)
            tail->next = dev;
        else
            head = dev;
        tail = dev;
    }
    *list = head;
    return head ? VESK_OK : VESK_ERR_NO_SUCH_DEVICE;
}

vesk_result vesk_destroy_list(vesk_device* list) {
    GlobalGuard guard("vesk_destroy_list", log_guard_report);
    if (guard.status() != VESK_OK) return guard.status();
    free_records(list);
    return VESK_OK;
}
