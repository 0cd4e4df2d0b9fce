#include "key_ahead.h"

#include "dfu_identity.h"
#include "libvesk.h"
#include "setup_worker.h"

void signing_key_release::operator()(vesk_signing_key* key) const noexcept { vesk_destroy_signing_key(key); }

void keep_key_for_next_install(unique_signing_key& key, const char* checked_before, int32_t action, int32_t outcome,
                               const char* device_id) {
    if (action != SETUP_ACTION_CHECK || outcome != SETUP_OUTCOME_CHECKED) {
        key.reset();
        return;
    }
    if (key && same_device_id(checked_before, device_id)) return;
    vesk_signing_key* made = nullptr;
    // Without one the preparation makes its own key; the library has logged why. A key for
    // another device goes either way.
    if (vesk_create_signing_key(&made) != VESK_OK) made = nullptr;
    key.reset(made);
}
