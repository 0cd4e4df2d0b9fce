// Signing the package's catalog with a certificate made for it alone: a fresh 4096-bit key that
// exists only in this process's memory (made here or ahead), a self-signed code-signing
// certificate left, bare, in the machine's "Root" and "TrustedPublisher" stores, and the key
// destroyed right after signing. The signer reaches the key through the certificate's key
// context property, which is never stored.
#include "signing.h"
#include "libvesk.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <iterator>
#include <utility>

#include "cert_store.h"
#include "certificate.h"
#include "crypto_api.h"
#include "files.h"
#include "key_ahead.h"
#include "mssign32.h"
#include "pki_error_text.h"
#include "step_timer.h"
#include "vesk_log.h"

namespace {
// SPC SP opus info with neither program name nor link, and the individual statement type.
const BYTE kOpusInfo[] = {0x30, 0x00};
const BYTE kStatementType[] = {0x30, 0x0C, 0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x15};

// The certificate's key context: the signer finds the key through it, as Windows' signer does
// before it looks for key provider information. The certificate never releases the handle.
bool attach_key(const Crypt32& api, PCCERT_CONTEXT cert, const SigningKey& key) {
    CERT_KEY_CONTEXT key_context{sizeof key_context, {key.context.get()}, AT_SIGNATURE};
    if (api.set_cert_property(cert, CERT_KEY_CONTEXT_PROP_ID, CERT_STORE_NO_CRYPT_RELEASE_FLAG, &key_context))
        return true;
    vesk_log_message(VESK_LOG_WARNING, "CreateSelfSignedCert", "Could not attach the key to the certificate: %s",
                     PkiErrorText(0));
    return false;
}

// Takes the key off the certificate, destroys the pair and releases its context.
bool DeletePrivateKey(const Crypt32& api, PCCERT_CONTEXT cert, SigningKey& key) {
    api.set_cert_property(cert, CERT_KEY_CONTEXT_PROP_ID, CERT_STORE_NO_CRYPT_RELEASE_FLAG, nullptr);
    if (!destroy_signing_key(key)) {
        vesk_log_message(VESK_LOG_WARNING, "DeletePrivateKey", "Failed to delete private key: %s", PkiErrorText(0));
        return false;
    }
    return true;
}

// The signature: the file by name, the certificate as signer, SHA-256, the two SPC attributes.
HRESULT sign_file(const MSSign32& mssign32, const wchar_t* path, PCCERT_CONTEXT cert, OwnedSignerContext& signer) {
    DWORD index = 0;
    SIGNER_FILE_INFO file_info{sizeof file_info, path, nullptr};
    SIGNER_SUBJECT_INFO subject_info{};
    subject_info.cbSize = sizeof subject_info;
    subject_info.pdwIndex = &index;
    subject_info.dwSubjectChoice = SIGNER_SUBJECT_FILE;
    subject_info.pSignerFileInfo = &file_info;
    SIGNER_CERT_STORE_INFO store_info{sizeof store_info, cert, SIGNER_CERT_POLICY_CHAIN, nullptr};
    SIGNER_CERT signer_cert{};
    signer_cert.cbSize = sizeof signer_cert;
    signer_cert.dwCertChoice = SIGNER_CERT_STORE;
    signer_cert.pCertStoreInfo = &store_info;
    signer_cert.hwnd = nullptr;

    char opus_oid[] = SPC_SP_OPUS_INFO_OBJID;
    char statement_oid[] = SPC_STATEMENT_TYPE_OBJID;
    BYTE opus[sizeof kOpusInfo];
    BYTE statement[sizeof kStatementType];
    std::memcpy(opus, kOpusInfo, sizeof opus);
    std::memcpy(statement, kStatementType, sizeof statement);
    CRYPT_ATTR_BLOB opus_blob{sizeof opus, opus};
    CRYPT_ATTR_BLOB statement_blob{sizeof statement, statement};
    CRYPT_ATTRIBUTE attrs[] = {{opus_oid, 1, &opus_blob}, {statement_oid, 1, &statement_blob}};
    CRYPT_ATTRIBUTES authenticated{static_cast<DWORD>(std::size(attrs)), attrs};
    SIGNER_SIGNATURE_INFO signature{};
    signature.cbSize = sizeof signature;
    signature.algidHash = CALG_SHA_256;
    signature.dwAttrChoice = SIGNER_NO_ATTR;
    signature.pAttrAuthcode = nullptr;
    signature.psAuthenticated = &authenticated;
    signature.psUnauthenticated = nullptr;

    SIGNER_CONTEXT* context = nullptr;
    const HRESULT status =
        mssign32.sign(0, &subject_info, &signer_cert, &signature, nullptr, nullptr, nullptr, nullptr, &context);
    signer = OwnedSignerContext(context, SignerContextFree{mssign32.free_signer_context});
    return status;
}

// Both stores given the bare certificate, the key attached to this context alone, the path
// converted, the file signed.
bool place_and_sign(const Crypt32& crypt32, const MSSign32& mssign32, PCCERT_CONTEXT cert, const SigningKey& key,
                    const char* file_path, const char* subject) {
    static const char source[] = "SelfSignFile";
    if (!AddCertToStore(crypt32, cert, "Root") || !AddCertToStore(crypt32, cert, "TrustedPublisher")) return false;
    vesk_log_message(VESK_LOG_INFO, source, "Added certificate '%s' to 'Root' and 'TrustedPublisher' stores", subject);
    if (!attach_key(crypt32, cert, key)) return false;
    Utf16 wide_path(file_path ? to_utf16(file_path) : nullptr);
    if (!wide_path || !wide_path.get()[0]) {
        vesk_log_message(VESK_LOG_WARNING, source, "Unable to convert '%s' to UTF16", file_path ? file_path : "(null)");
        return false;
    }
    OwnedSignerContext signer(nullptr, SignerContextFree{mssign32.free_signer_context});
    const HRESULT status = sign_file(mssign32, wide_path.get(), cert, signer);
    if (status != S_OK) {
        vesk_log_message(VESK_LOG_WARNING, source, "SignerSignEx failed: %s",
                         PkiErrorText(static_cast<uint32_t>(status)));
        return false;
    }
    vesk_log_message(VESK_LOG_INFO, source, "Successfully signed file '%s'", file_path);
    return true;
}
}  // namespace

bool SelfSignFile(const char* file_path, const char* subject, vesk_signing_key* ahead) {
    static const char source[] = "SelfSignFile";
    StepTimer timer;
    const std::optional<MSSign32> mssign32 = load_mssign32(source);
    const std::optional<Crypt32> crypt32 = load_crypt32(source);
    if (!mssign32 || !crypt32) return false;

    RemoveCertFromStore(*crypt32, subject, "Root");
    RemoveCertFromStore(*crypt32, subject, "TrustedPublisher");
    timer.lap("old certificates");

    SigningKey key;
    if (!take_key_made_ahead(ahead, key) && !make_signing_key(key)) return false;
    timer.lap(ahead ? "key wait" : "key made");
    const OwnedCert cert = CreateSelfSignedCert(*crypt32, subject, key);
    if (!cert) return false;  // the key goes with its owner
    timer.lap("certificate");
    vesk_log_message(VESK_LOG_DEBUG, source, "Successfully created certificate '%s'", subject);

    const bool signed_ok = place_and_sign(*crypt32, *mssign32, cert.get(), key, file_path, subject);
    if (DeletePrivateKey(*crypt32, cert.get(), key))
        vesk_log_message(VESK_LOG_INFO, source, "Successfully deleted private key");
    timer.lap("signing");
    return signed_ok;
}
