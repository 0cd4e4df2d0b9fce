#include "token_values.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "driver_kinds.h"
#include "driver_support.h"
#include "error_text.h"
#include "format_into.h"
#include "inf_values.h"
#include "owners.h"
#include "prepare.h"
#include "tokenizer.h"
#include "vesk_log.h"

namespace {
constexpr const char* kSource = kPrepareSource;
constexpr std::size_t kGuidTextBytes = 40;
constexpr const char* kAndroidGuid = "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
constexpr int kWdfVersion = 1011;
constexpr int kKmdfMajor = 1, kKmdfMinor = 11;

struct UsbPair {
    uint16_t vendor, product;
};
// Android devices get Google's fixed device interface GUID. 18D1:708C occurs twice.
constexpr UsbPair kAndroidDevices[128] = {
    {0x0451, 0xD022}, {0x0451, 0xD101}, {0x0489, 0xC001}, {0x04E8, 0x685B}, {0x04E8, 0x685C}, {0x04E8, 0x685D},
    {0x04E8, 0x685E}, {0x04E8, 0x6860}, {0x04E8, 0x6863}, {0x04E8, 0x6864}, {0x04E8, 0x6865}, {0x04E8, 0x6866},
    {0x04E8, 0x6868}, {0x04E8, 0x6877}, {0x04E8, 0x689E}, {0x05C6, 0x9018}, {0x05C6, 0x9025}, {0x0955, 0x7030},
    {0x0955, 0x7100}, {0x0955, 0xB400}, {0x0955, 0xB401}, {0x0955, 0xCF05}, {0x0955, 0xCF06}, {0x0955, 0xCF07},
    {0x0955, 0xCF08}, {0x0955, 0xCF09}, {0x0B05, 0x4D00}, {0x0B05, 0x4D01}, {0x0B05, 0x4D02}, {0x0B05, 0x4D03},
    {0x0B05, 0x4E01}, {0x0B05, 0x4E03}, {0x0B05, 0x4E1F}, {0x0B05, 0x4E3F}, {0x0BB4, 0x0C01}, {0x0BB4, 0x0C02},
    {0x0BB4, 0x0C03}, {0x0BB4, 0x0C13}, {0x0BB4, 0x0C1F}, {0x0BB4, 0x0C5F}, {0x0BB4, 0x0C86}, {0x0BB4, 0x0C87},
    {0x0BB4, 0x0C8B}, {0x0BB4, 0x0C8D}, {0x0BB4, 0x0C91}, {0x0BB4, 0x0C92}, {0x0BB4, 0x0C93}, {0x0BB4, 0x0C94},
    {0x0BB4, 0x0C95}, {0x0BB4, 0x0C96}, {0x0BB4, 0x0C97}, {0x0BB4, 0x0C98}, {0x0BB4, 0x0C99}, {0x0BB4, 0x0C9E},
    {0x0BB4, 0x0CA2}, {0x0BB4, 0x0CA3}, {0x0BB4, 0x0CA4}, {0x0BB4, 0x0CA5}, {0x0BB4, 0x0CAC}, {0x0BB4, 0x0CAD},
    {0x0BB4, 0x0CAE}, {0x0BB4, 0x0CBA}, {0x0BB4, 0x0CED}, {0x0BB4, 0x0E03}, {0x0BB4, 0x0F64}, {0x0BB4, 0x0FF8},
    {0x0BB4, 0x0FF9}, {0x0BB4, 0x0FFE}, {0x0BB4, 0x0FFF}, {0x0FCE, 0x0DDE}, {0x0FCE, 0x4E30}, {0x0FCE, 0x6860},
    {0x0FCE, 0xD001}, {0x1004, 0x618E}, {0x12D1, 0x1501}, {0x18D1, 0x0D02}, {0x18D1, 0x2C10}, {0x18D1, 0x2C11},
    {0x18D1, 0x4D00}, {0x18D1, 0x4D02}, {0x18D1, 0x4D04}, {0x18D1, 0x4D06}, {0x18D1, 0x4D07}, {0x18D1, 0x4E10},
    {0x18D1, 0x4E11}, {0x18D1, 0x4E12}, {0x18D1, 0x4E13}, {0x18D1, 0x4E20}, {0x18D1, 0x4E21}, {0x18D1, 0x4E22},
    {0x18D1, 0x4E23}, {0x18D1, 0x4E24}, {0x18D1, 0x4E30}, {0x18D1, 0x4E40}, {0x18D1, 0x4E41}, {0x18D1, 0x4E42},
    {0x18D1, 0x4E43}, {0x18D1, 0x4E44}, {0x18D1, 0x4EE0}, {0x18D1, 0x4EE1}, {0x18D1, 0x4EE2}, {0x18D1, 0x4EE3},
    {0x18D1, 0x4EE4}, {0x18D1, 0x4EE5}, {0x18D1, 0x4EE6}, {0x18D1, 0x4EE7}, {0x18D1, 0x708C}, {0x18D1, 0x708C},
    {0x18D1, 0x7102}, {0x18D1, 0x9001}, {0x18D1, 0xB004}, {0x18D1, 0xD001}, {0x18D1, 0xD002}, {0x18D1, 0xD109},
    {0x18D1, 0xD10A}, {0x19D2, 0x1351}, {0x19D2, 0x1354}, {0x2080, 0x0001}, {0x2080, 0x0002}, {0x2080, 0x0003},
    {0x2080, 0x0004}, {0x22B8, 0x2D66}, {0x22B8, 0x41DB}, {0x22B8, 0x4286}, {0x22B8, 0x42A4}, {0x22B8, 0x42DA},
    {0x22B8, 0x4331}, {0x22B8, 0x70A9},
};

bool is_android(uint16_t vendor, uint16_t product) {
    for (const UsbPair& p : kAndroidDevices)
        if (p.vendor == vendor && p.product == product) return true;
    return false;
}

// The co-installer's file date as a local calendar date; today's local date when the record
// has none or it does not convert.
SYSTEMTIME driver_date(const VS_FIXEDFILEINFO& v) {
    SYSTEMTIME date{};
    const FILETIME utc{v.dwFileDateLS, v.dwFileDateMS};
    FILETIME local{};
    if ((v.dwFileDateMS == 0 && v.dwFileDateLS == 0) || !FileTimeToLocalFileTime(&utc, &local) ||
        !FileTimeToSystemTime(&local, &date))
        GetLocalTime(&date);
    return date;
}

// DEVICE_INTERFACE_GUID: none with compatible-ID matching, the caller's, Android's, or a new one.
vesk_result set_interface_guid(const Ole32& ole32, const vesk_device& device, const vesk_prepare_options* options,
                               bool match_compatible) {
    if (match_compatible) {
        set_token_value("DEVICE_INTERFACE_GUID", "UNUSED");
    } else if (options && options->interface_guid) {
        if (!is_interface_guid_shape(options->interface_guid)) {
            char shown[kTokenValueBytes];
            (void)quote_inf_text(options->interface_guid, shown);  // no line break reaches the log
            vesk_log_message(VESK_LOG_ERROR, kSource,
                             "Device interface GUID '%s' is not of the form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
                             shown);
            return VESK_ERR_INVALID_PARAMETER;
        }
        set_token_value("DEVICE_INTERFACE_GUID", options->interface_guid);
    } else if (is_android(device.vendor_id, device.product_id)) {
        vesk_log_message(VESK_LOG_INFO, kSource, "Using Android Device Interface GUID");
        set_token_value("DEVICE_INTERFACE_GUID", kAndroidGuid);
    } else {
        GUID guid;
        const HRESULT hr = ole32.create_guid(&guid);
        if (FAILED(hr)) {
            // An INF without a valid interface GUID would install a device no program can open.
            vesk_log_message(VESK_LOG_ERROR, kSource, "Could not create a device interface GUID: %s",
                             last_error_text(static_cast<uint32_t>(hr)));
            return VESK_ERR_NO_RESOURCE;
        }
        char guid_text[kGuidTextBytes];
        (void)format_into(guid_text, sizeof guid_text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                          guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                          guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
        set_token_value("DEVICE_INTERFACE_GUID", guid_text);
    }
    return VESK_OK;
}

}  // namespace

vesk_result set_token_values(const Ole32& ole32, const vesk_device& device, const vesk_prepare_options* options,
                             int kind, const char* inf_base) {
    const KindData& kd = kKinds[kind];
    const std::size_t inf_len = std::strlen(inf_base);
    const bool match_compatible = options && options->match_compatible_id;
    set_token_value("INF_FILENAME", inf_base);
    {
        MallocPtr<char> cat_name(static_cast<char*>(std::malloc(inf_len + 1)));
        if (!cat_name) return VESK_ERR_NO_RESOURCE;
        std::memcpy(cat_name.get(), inf_base, inf_len + 1);
        std::memcpy(cat_name.get() + inf_len - 3, "cat", 3);
        set_token_value("CAT_FILENAME", cat_name.get());
    }
    char text[kTokenValueBytes];
    if (!quote_inf_text(device.description, text))
        vesk_log_message(VESK_LOG_WARNING, kSource, "Device description cut to %u bytes for the inf file",
                         static_cast<unsigned>(std::strlen(text)));
    set_token_value("DEVICE_DESCRIPTION", text);
    if (match_compatible)
        (void)format_into(text, sizeof text, "%s", kd.compatible_id);
    else if (device.composite)
        (void)format_into(text, sizeof text, "VID_%04X&PID_%04X&MI_%02X", device.vendor_id, device.product_id,
                          device.interface_number);
    else
        (void)format_into(text, sizeof text, "VID_%04X&PID_%04X", device.vendor_id, device.product_id);
    if (!is_hardware_id_shape(text)) {
        vesk_log_message(VESK_LOG_ERROR, kSource, "Hardware ID '%s' is not of the form VID_XXXX&PID_XXXX", text);
        return VESK_ERR_INVALID_PARAMETER;
    }
    set_token_value("DEVICE_HARDWARE_ID", text);
    set_token_value("USE_DEVICE_INTERFACE_GUID", match_compatible ? "NoDeviceInterfaceGUID" : "AddDeviceInterfaceGUID");
    const vesk_result guid = set_interface_guid(ole32, device, options, match_compatible);
    if (guid != VESK_OK) return guid;

    const char* manufacturer = options && options->manufacturer ? options->manufacturer : nullptr;
    if (!manufacturer) manufacturer = vesk_vendor_name(device.vendor_id);
    if (!quote_inf_text(manufacturer ? manufacturer : "(Undefined Vendor)", text))
        vesk_log_message(VESK_LOG_WARNING, kSource, "Manufacturer cut to %u bytes for the inf file",
                         static_cast<unsigned>(std::strlen(text)));
    set_token_value("DEVICE_MANUFACTURER", text);
    (void)format_into(text, sizeof text, "%05d", kWdfVersion);
    set_token_value("WDF_VERSION", text);
    (void)format_into(text, sizeof text, "%d.%d", kKmdfMajor, kKmdfMinor);
    set_token_value("KMDF_VERSION", text);

    const VS_FIXEDFILEINFO& version = version_cache[kind < kVersionCacheSlots ? kind : 0];
    const SYSTEMTIME date = driver_date(version);
    (void)format_into(text, sizeof text, "%02d/%02d/%04d", date.wMonth, date.wDay, date.wYear);
    set_token_value("DRIVER_DATE", text);
    (void)format_into(text, sizeof text, "%d.%d.%d.%d", HIWORD(version.dwFileVersionMS),
                      LOWORD(version.dwFileVersionMS), HIWORD(version.dwFileVersionLS),
                      LOWORD(version.dwFileVersionLS));
    set_token_value("DRIVER_VERSION", text);
    return VESK_OK;
}
