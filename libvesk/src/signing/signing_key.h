// The signing key's machine key container: a new one under a random name for every signing,
// its key pair not exportable. A container that already exists is never opened: any local
// user may create a machine container of a name he can guess, with an access list of his own,
// and would then hold the key of a certificate that the machine trusts.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

#include "owners.h"

inline constexpr char kKeyContainerPrefix[] = "libvesk key container ";
inline constexpr std::size_t kKeyContainerRandomBytes = 16;
inline constexpr std::size_t kKeyContainerChars = sizeof kKeyContainerPrefix - 1 + 2 * kKeyContainerRandomBytes + 1;

// SHA-2 signatures need the enhanced RSA and AES provider: the plain RSA_FULL providers
// cannot make them.
inline constexpr DWORD kKeyProvType = PROV_RSA_AES;
inline const wchar_t* const kKeyProvName = MS_ENH_RSA_AES_PROV_W;

struct SigningKey {
    wchar_t container[kKeyContainerChars] = L"";  // empty until a name is drawn
};

// Draws a new random container name; false (and the name empty) without random bytes.
bool draw_key_container_name(SigningKey& key);
// Creates the container of that name with CRYPT_NEWKEYSET alone, so that it fails when the
// name exists. Logs as a step of CreateSelfSignedCert.
bool create_key_container(const SigningKey& key, UniqueCryptProv& out);
// A 4096-bit signature key pair that never leaves the container. Logs as a step of
// CreateSelfSignedCert.
bool generate_key_pair(HCRYPTPROV container, UniqueCryptKey& out);
// Opens the container that create_key_container made for this signing.
bool open_key_container(const SigningKey& key, HCRYPTPROV* out);
// Deletes the container and its key pair; the last error tells why when it fails.
bool delete_key_container(const SigningKey& key);
