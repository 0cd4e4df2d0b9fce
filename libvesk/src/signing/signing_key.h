// The signing key: a new 4096-bit RSA signature key pair in an ephemeral provider context
// (CRYPT_VERIFYCONTEXT). There is no key container: nothing is written to the machine's or the
// user's key sets, so no other process can list, open or use the key, and it is not exportable.
// It lives in this process's memory only, until its pair is destroyed and its context released.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "owners.h"

// SHA-2 signatures need the enhanced RSA and AES provider: the plain RSA_FULL providers
// cannot make them.
inline constexpr DWORD kKeyProvType = PROV_RSA_AES;
inline const wchar_t* const kKeyProvName = MS_ENH_RSA_AES_PROV_W;
inline constexpr DWORD kKeyBits = 4096;

struct SigningKey {
    UniqueCryptProv context;  // declared first: released after the pair is destroyed
    UniqueCryptKey pair;
    explicit operator bool() const noexcept { return context && pair; }
};

// A new pair in a new ephemeral context; out stays empty on failure. Logs as a step of
// CreateSelfSignedCert.
bool make_signing_key(SigningKey& out);
// Destroys the pair, then releases its context; true when both calls succeeded. The key is gone
// either way: an ephemeral context keeps nothing once released.
bool destroy_signing_key(SigningKey& key);
