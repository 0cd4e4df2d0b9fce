#include "signing_key.h"
#include "libvesk.h"

#include <utility>

#include "pki_error_text.h"
#include "vesk_log.h"

namespace {
// The steps of CreateSelfSignedCert log under its name.
const char kSource[] = "CreateSelfSignedCert";
constexpr DWORD kKeyFlags = kKeyBits << 16;  // no CRYPT_EXPORTABLE: the private key stays inside
}  // namespace

bool make_signing_key(SigningKey& out) {
    SigningKey key;
    if (!CryptAcquireContextW(key.context.put(), nullptr, kKeyProvName, kKeyProvType,
                              CRYPT_VERIFYCONTEXT | CRYPT_SILENT)) {
        const DWORD last = GetLastError();
        vesk_log_message(VESK_LOG_WARNING, kSource, "Could not obtain an ephemeral key context: %s (0x%08X)",
                         PkiErrorText(last), static_cast<unsigned>(last));
        return false;
    }
    vesk_log_message(VESK_LOG_DEBUG, kSource, "Created new ephemeral key context");
    if (!CryptGenKey(key.context.get(), AT_SIGNATURE, kKeyFlags, key.pair.put())) {
        vesk_log_message(VESK_LOG_DEBUG, kSource, "Could not generate keypair: %s", PkiErrorText(0));
        return false;
    }
    vesk_log_message(VESK_LOG_DEBUG, kSource, "Generated new keypair...");
    out = std::move(key);
    return true;
}

bool destroy_signing_key(SigningKey& key) {
    bool ok = true;
    if (key.pair) ok = CryptDestroyKey(key.pair.release()) != FALSE;
    if (key.context) ok = CryptReleaseContext(key.context.release(), 0) != FALSE && ok;
    return ok;
}
