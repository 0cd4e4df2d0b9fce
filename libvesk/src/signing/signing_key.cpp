#include "signing_key.h"
#include "libvesk.h"

#include <cstdint>
#include <cstring>

#include "pki_error_text.h"
#include "hex_digits.h"
#include "vesk_log.h"

namespace {
// The steps of CreateSelfSignedCert log under its name.
const char kSource[] = "CreateSelfSignedCert";
constexpr DWORD kKeyFlags = 4096u << 16;  // no CRYPT_EXPORTABLE: the private key stays inside

BOOL acquire(const SigningKey& key, HCRYPTPROV* out, DWORD flags) {
    return CryptAcquireContextW(out, key.container, kKeyProvName, kKeyProvType,
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT | flags);
}
}  // namespace

bool draw_key_container_name(SigningKey& key) {
    key.container[0] = L'\0';
    uint8_t random[kKeyContainerRandomBytes];
    UniqueCryptProv prov;
    if (!CryptAcquireContextW(prov.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT) ||
        !CryptGenRandom(prov.get(), sizeof random, random))
        return false;
    const std::size_t prefix = sizeof kKeyContainerPrefix - 1;
    for (std::size_t i = 0; i < prefix; ++i) key.container[i] = static_cast<wchar_t>(kKeyContainerPrefix[i]);
    write_hex_upper(random, sizeof random, key.container + prefix);
    return true;
}

bool create_key_container(const SigningKey& key, UniqueCryptProv& out) {
    // Without a name, drawing it failed and left its last error.
    if (!key.container[0] || !acquire(key, out.put(), CRYPT_NEWKEYSET)) {
        const DWORD last = GetLastError();
        vesk_log_message(VESK_LOG_WARNING, kSource, "Could not obtain a key container: %s (0x%08X)", PkiErrorText(last),
                         static_cast<unsigned>(last));
        return false;
    }
    vesk_log_message(VESK_LOG_DEBUG, kSource, "Created new key container");
    return true;
}

bool generate_key_pair(HCRYPTPROV container, UniqueCryptKey& out) {
    if (!CryptGenKey(container, AT_SIGNATURE, kKeyFlags, out.put())) {
        vesk_log_message(VESK_LOG_DEBUG, kSource, "Could not generate keypair: %s", PkiErrorText(0));
        return false;
    }
    vesk_log_message(VESK_LOG_DEBUG, kSource, "Generated new keypair...");
    return true;
}

bool open_key_container(const SigningKey& key, HCRYPTPROV* out) { return key.container[0] && acquire(key, out, 0); }

bool delete_key_container(const SigningKey& key) {
    HCRYPTPROV gone = 0;  // CRYPT_DELETEKEYSET hands back no handle
    return key.container[0] && acquire(key, &gone, CRYPT_DELETEKEYSET);
}
