// Signing keys made ahead (vesk_create_signing_key): the preparation's side.
#pragma once

#include "libvesk.h"
#include "signing_key.h"

// How long a preparation waits for a key still being made before it makes its own.
inline constexpr DWORD kKeyAheadWaitMs = 60000;

// Takes the key made ahead, waiting for it while it is being made. False (out empty) when it
// failed, took too long, or was taken before: a key made ahead signs one package at most.
bool take_key_made_ahead(vesk_signing_key* ahead, SigningKey& out);
