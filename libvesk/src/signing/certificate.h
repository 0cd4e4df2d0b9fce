// The self-signed code-signing certificate of one signing, made from a key in memory.
#pragma once

#include "crypto_api.h"
#include "signing_key.h"

// A new certificate signed with key; none on failure (logged). It carries no link to the key:
// the signer is given the key's context on its own.
OwnedCert CreateSelfSignedCert(const Crypt32& api, const char* subject, const SigningKey& key);
