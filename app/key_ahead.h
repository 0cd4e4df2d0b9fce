// The catalog-signing key made ahead for the next install: started as soon as a check has found
// the device to install, at most one at a time, held by the window and let go with it.
#pragma once

#include <cstdint>
#include <memory>

struct vesk_signing_key;  // libvesk.h's, which the window's header does without

struct signing_key_release {
    void operator()(vesk_signing_key* key) const noexcept;  // vesk_destroy_signing_key
};
using unique_signing_key = std::unique_ptr<vesk_signing_key, signing_key_release>;

// After an operation, on the window's thread (never waits): a check that found the device to
// install keeps the key already made for that device or starts a new one; every other ending
// (no device, another device, WinUSB already there, an install, used key or not) lets it go.
void keep_key_for_next_install(unique_signing_key& key, const char* checked_before, int32_t action, int32_t outcome,
                               const char* device_id);
