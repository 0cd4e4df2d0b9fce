#include "find_device.h"

#include "diagnostics.h"
#include "dfu_identity.h"

bool find_supported_device(vesk_device** list, vesk_device** device, bool* none_connected) {
    if (none_connected) *none_connected = false;
    *list = nullptr;
    *device = nullptr;

    // Installed devices, hubs and composite parents too: a composite bootloader must show up
    // as its parent and interfaces, so that it is refused rather than half-matched.
    const vesk_list_options options = {1, 1, 1};
    const vesk_result r = vesk_create_list(list, &options);
    if (r != VESK_OK) {
        // No USB device at all is no bootloader either.
        if (none_connected) *none_connected = r == VESK_ERR_NO_SUCH_DEVICE;
        post_diagnostic("Device scan failed (%d): %s", static_cast<int>(r), vesk_error_text(r));
        return false;
    }
    return choose_supported_device(*list, device, none_connected);
}

bool choose_supported_device(vesk_device* list, vesk_device** device, bool* none_connected) {
    *device = nullptr;
    if (none_connected) *none_connected = false;
    int count = 0;
    vesk_device* candidate = nullptr;
    for (vesk_device* d = list; d; d = d->next) {
        if (d->vendor_id == AT32_DFU_VID && d->product_id == AT32_DFU_PID) {
            ++count;
            candidate = d;
        }
    }

    if (count == 1) {
        if (is_supported_dfu_device(candidate->vendor_id, candidate->product_id, candidate->composite != 0,
                                    candidate->hardware_id, candidate->compatible_id, candidate->device_id)) {
            *device = candidate;
            return true;
        }
        post_diagnostic(
            "Refusing this device: its IDs/interface do not match the supported non-composite DFU bootloader.");
        post_diagnostic("Hardware ID: %s; compatible ID: %s; composite: %d",
                        candidate->hardware_id ? candidate->hardware_id : "(missing)",
                        candidate->compatible_id ? candidate->compatible_id : "(missing)",
                        candidate->composite ? 1 : 0);
    } else if (count == 0) {
        if (none_connected) *none_connected = true;
        post_diagnostic("No AT32 DFU device found. Connect Morvane while holding BOOT0, then click Check device.");
    } else {
        post_diagnostic("More than one AT32 DFU device is connected. Disconnect other DFU devices, then check again.");
    }
    return false;
}
