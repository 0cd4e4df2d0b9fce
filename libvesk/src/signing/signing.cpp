// Signing the package's catalog with a certificate made for it alone: a fresh 4096-bit key in
// a machine key container of its own, a self-signed code-signing certificate left in the
// machine's "Root" and "TrustedPublisher" stores, and the private key destroyed right after
// signing. A key that cannot be destroyed takes its certificate out of both stores again.
#include "signing.h"
#include "libvesk.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "pki_error_text.h"
#include "cert_store.h"
#include "cert_validity.h"
#include "crypto_api.h"
#include "files.h"
#include "mssign32.h"
#include "owners.h"
#include "platform.h"
#include "signing_key.h"
#include "vesk_log.h"

namespace {
#define VESK_HOME_PAGE "https://" UPDATER_HOST "/driver-setup"
const wchar_t kAltName[] = L"Created by libvesk (" VESK_HOME_PAGE ")";
const char kCpsUrl[] = "https://" UPDATER_HOST "/driver-setup/cps";

// SPC SP opus info with neither program name nor link, and the individual statement type.
const BYTE kOpusInfo[] = {0x30, 0x00};
const BYTE kStatementType[] = {0x30, 0x0C, 0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x15};

const char kCertSource[] = "CreateSelfSignedCert";

// Two-pass encoding: size first, then into a buffer of that size. A failure logs "what: text".
bool encode_twice(const Crypt32& api, const char* type, const void* value, std::vector<BYTE>& out, const char* what) {
    DWORD size = 0;
    bool ok = api.encode_object(X509_ASN_ENCODING, type, value, nullptr, &size) && size != 0;
    if (ok) {
        out.resize(size);
        ok = api.encode_object(X509_ASN_ENCODING, type, value, out.data(), &size);
        out.resize(size);
    }
    if (!ok) vesk_log_message(VESK_LOG_WARNING, kCertSource, "%s: %s", what, PkiErrorText(0));
    return ok;
}

// The DER values of the certificate's extensions.
struct EncodedExtensions {
    std::vector<BYTE> code_signing, alt_name, policies, basic_constraints, key_usage;
};

bool encode_code_signing_usage(const Crypt32& api, std::vector<BYTE>& out) {
    char code_signing[] = szOID_PKIX_KP_CODE_SIGNING;
    char* usages[] = {code_signing};
    CERT_ENHKEY_USAGE eku{1, usages};
    return encode_twice(api, X509_ENHANCED_KEY_USAGE, &eku, out, "Could not setup EKU for code signing");
}

bool encode_alt_name(const Crypt32& api, std::vector<BYTE>& out) {
    wchar_t alt_text[std::size(kAltName)];
    std::memcpy(alt_text, kAltName, sizeof kAltName);
    CERT_ALT_NAME_ENTRY alt_entry{};
    alt_entry.dwAltNameChoice = CERT_ALT_NAME_RFC822_NAME;
    alt_entry.pwszRfc822Name = alt_text;
    CERT_ALT_NAME_INFO alt{1, &alt_entry};
    return encode_twice(api, X509_ALTERNATE_NAME, &alt, out, "Could not set Alt Name");
}

// One policy whose identifier is the CPS qualifier's own, with that qualifier.
bool encode_policies(const Crypt32& api, std::vector<BYTE>& out) {
    // The URL's NUL is part of the IA5 string, as the platform's own tools write it.
    char cps_text[std::size(kCpsUrl)];
    std::memcpy(cps_text, kCpsUrl, sizeof kCpsUrl);
    CERT_NAME_VALUE cps_value{CERT_RDN_IA5_STRING, {sizeof cps_text, reinterpret_cast<BYTE*>(cps_text)}};
    std::vector<BYTE> cps_der;
    if (!encode_twice(api, X509_NAME_VALUE, &cps_value, cps_der, "Could not setup CPS")) return false;
    char cps_oid[] = szOID_PKIX_POLICY_QUALIFIER_CPS;
    CERT_POLICY_QUALIFIER_INFO qualifier{cps_oid, {static_cast<DWORD>(cps_der.size()), cps_der.data()}};
    CERT_POLICY_INFO policy{cps_oid, 1, &qualifier};
    CERT_POLICIES_INFO policies{1, &policy};
    return encode_twice(api, X509_CERT_POLICIES, &policies, out, "Could not setup Certificate Policies");
}

// An end entity: it may sign code, never other certificates.
bool encode_end_entity_constraints(const Crypt32& api, std::vector<BYTE>& out) {
    CERT_BASIC_CONSTRAINTS2_INFO basic{FALSE, FALSE, 0};
    return encode_twice(api, X509_BASIC_CONSTRAINTS2, &basic, out, "Could not setup Basic Constraints");
}

bool encode_signature_key_usage(const Crypt32& api, std::vector<BYTE>& out) {
    BYTE usage = CERT_DIGITAL_SIGNATURE_KEY_USAGE;
    CRYPT_BIT_BLOB bits{1, &usage, 7};  // one bit used
    return encode_twice(api, X509_KEY_USAGE, &bits, out, "Could not setup Key Usage");
}

bool encode_extensions(const Crypt32& api, EncodedExtensions& out) {
    if (!encode_code_signing_usage(api, out.code_signing) || !encode_alt_name(api, out.alt_name) ||
        !encode_policies(api, out.policies) || !encode_end_entity_constraints(api, out.basic_constraints) ||
        !encode_signature_key_usage(api, out.key_usage))
        return false;
    vesk_log_message(VESK_LOG_DEBUG, kCertSource, "Set Enhanced Key Usage, URL and CPS");
    return true;
}

bool encode_subject(const Crypt32& api, const char* subject, std::vector<BYTE>& out) {
    if (encode_x500_name(api, subject, out)) return true;
    vesk_log_message(VESK_LOG_WARNING, kCertSource, "Could not encode subject name for self signed cert: %s",
                     PkiErrorText(0));
    return false;
}

// The fixed end while it is at least a year away, else a year from now.
SYSTEMTIME validity_end() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    const cert_validity::UtcTime end =
        cert_validity::certificate_end({now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond});
    SYSTEMTIME out{};
    out.wYear = static_cast<WORD>(end.year);
    out.wMonth = static_cast<WORD>(end.month);
    out.wDay = static_cast<WORD>(end.day);
    out.wHour = static_cast<WORD>(end.hour);
    out.wMinute = static_cast<WORD>(end.minute);
    out.wSecond = static_cast<WORD>(end.second);
    return out;
}

// SHA-1 with RSA up to Windows 7, whose chain engine may lack SHA-2 certificate signatures.
bool sign_with_sha1() {
    detect_windows_version();
    return windows_version.load() <= kWindows7;
}

// Where the signer finds the private key: the container made for this signing.
struct KeyProvider {
    wchar_t container[kKeyContainerChars];
    wchar_t provider[std::size(MS_ENH_RSA_AES_PROV_W)];
    CRYPT_KEY_PROV_INFO info;
};
void describe_key_provider(const SigningKey& key, KeyProvider& out) {
    std::memcpy(out.container, key.container, sizeof out.container);
    std::memcpy(out.provider, MS_ENH_RSA_AES_PROV_W, sizeof out.provider);
    out.info = {out.container, out.provider, kKeyProvType, CRYPT_MACHINE_KEYSET, 0, nullptr, AT_SIGNATURE};
}

OwnedCert create_certificate(const Crypt32& api, const char* subject, const std::vector<BYTE>& name_der,
                             EncodedExtensions& encoded, const SigningKey& key) {
    char eku_oid[] = szOID_ENHANCED_KEY_USAGE;
    char alt_oid[] = szOID_SUBJECT_ALT_NAME;
    char policies_oid[] = szOID_CERT_POLICIES;
    char basic_oid[] = szOID_BASIC_CONSTRAINTS2;
    char usage_oid[] = szOID_KEY_USAGE;
    auto blob = [](std::vector<BYTE>& v) { return CRYPT_OBJID_BLOB{static_cast<DWORD>(v.size()), v.data()}; };
    CERT_EXTENSION ext[] = {
        {eku_oid, TRUE, blob(encoded.code_signing)},   {alt_oid, FALSE, blob(encoded.alt_name)},
        {policies_oid, FALSE, blob(encoded.policies)}, {basic_oid, FALSE, blob(encoded.basic_constraints)},
        {usage_oid, TRUE, blob(encoded.key_usage)},
    };
    CERT_EXTENSIONS extensions{static_cast<DWORD>(std::size(ext)), ext};
    KeyProvider provider;
    describe_key_provider(key, provider);
    char sha1_rsa[] = szOID_RSA_SHA1RSA;
    char sha256_rsa[] = szOID_RSA_SHA256RSA;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{sign_with_sha1() ? sha1_rsa : sha256_rsa, {0, nullptr}};
    SYSTEMTIME end = validity_end();
    CERT_NAME_BLOB name{static_cast<DWORD>(name_der.size()), const_cast<BYTE*>(name_der.data())};
    OwnedCert cert =
        own_cert(api, api.create_self_signed(0, &name, 0, &provider.info, &algorithm, nullptr, &end, &extensions));
    if (!cert) {
        vesk_log_message(VESK_LOG_WARNING, kCertSource, "Could not create self signed certificate: %s",
                         PkiErrorText(0));
        return cert;
    }
    vesk_log_message(VESK_LOG_INFO, kCertSource, "Created new self-signed certificate '%s'", subject);
    return cert;
}

// The signer finds the key the way Windows does, through the certificate's key provider
// information. Where that does not reach a machine key set (Wine), the certificate is given an
// open handle to its container, which it owns from then on.
void reach_signing_key(const Crypt32& api, PCCERT_CONTEXT cert, const SigningKey& key) {
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE found = 0;
    DWORD key_spec = 0;
    BOOL caller_frees = FALSE;
    if (api.acquire_private_key(cert, CRYPT_ACQUIRE_SILENT_FLAG, nullptr, &found, &key_spec, &caller_frees)) {
        if (caller_frees) CryptReleaseContext(found, 0);
        vesk_log_message(VESK_LOG_INFO, kCertSource,
                         "Signing with the key found through the certificate's key provider information");
        return;
    }
    const DWORD why = GetLastError();
    UniqueCryptProv handle;
    if (open_key_container(key, handle.put())) {
        CERT_KEY_CONTEXT key_context{sizeof key_context, {handle.get()}, AT_SIGNATURE};
        if (api.set_cert_property(cert, CERT_KEY_CONTEXT_PROP_ID, 0, &key_context)) {
            handle.release();  // the certificate's now
            vesk_log_message(VESK_LOG_INFO, kCertSource,
                             "The key provider information does not reach the key (%s): signing with an open "
                             "handle to its container",
                             PkiErrorText(why));
            return;
        }
    }
    vesk_log_message(VESK_LOG_WARNING, kCertSource, "Could not attach the key to the certificate: %s", PkiErrorText(0));
}

// A new certificate whose key lives in a new container of key's (random) name.
OwnedCert CreateSelfSignedCert(const Crypt32& api, const char* subject, SigningKey& key) {
    EncodedExtensions extensions;
    if (!encode_extensions(api, extensions)) return own_cert(api, nullptr);

    {
        UniqueCryptProv container;
        UniqueCryptKey pair;
        if (!draw_key_container_name(key) || !create_key_container(key, container)) {
            // A container of that name that exists already is not ours: it is never deleted.
            key.container[0] = L'\0';
            return own_cert(api, nullptr);
        }
        if (!generate_key_pair(container.get(), pair)) return own_cert(api, nullptr);
        // Some providers write a new key pair out only when the generating handle goes, and the
        // certificate call below opens the container anew by its name.
    }

    std::vector<BYTE> name_der;
    if (!encode_subject(api, subject, name_der)) return own_cert(api, nullptr);
    OwnedCert cert = create_certificate(api, subject, name_der, extensions, key);
    if (cert) reach_signing_key(api, cert.get(), key);
    return cert;
}

// True when the key container is gone. Every handle goes before the container does: a
// provider may write an open container back when its last handle is released.
bool DeletePrivateKey(const Crypt32& api, PCCERT_CONTEXT cert, const SigningKey& key) {
    static const char source[] = "DeletePrivateKey";
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key_prov = 0;
    DWORD key_spec = 0;
    BOOL caller_frees = FALSE;
    if (api.acquire_private_key(cert, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &key_prov,
                                &key_spec, &caller_frees)) {
        // A cached handle is the certificate's own: taken off the certificate and released
        // here, the same way on every platform.
        if (!caller_frees)
            api.set_cert_property(cert, CERT_KEY_CONTEXT_PROP_ID, CERT_STORE_NO_CRYPT_RELEASE_FLAG, nullptr);
        CryptReleaseContext(key_prov, 0);
    } else {
        // The container is known by name: it goes all the same.
        vesk_log_message(VESK_LOG_WARNING, source, "Error getting CSP: %s", PkiErrorText(0));
    }

    if (!delete_key_container(key)) {
        vesk_log_message(VESK_LOG_ERROR, source, "Failed to delete private key: %s", PkiErrorText(0));
        return false;
    }

    // The stored copies still carry the link to the deleted key: replace them by the bare
    // certificate.
    for (const char* store_name : {"Root", "TrustedPublisher"}) {
        const OwnedStore store = open_machine_store(api, store_name);
        if (!store) continue;
        PCCERT_CONTEXT added = nullptr;
        if (!api.add_encoded_cert(store.get(), X509_ASN_ENCODING, cert->pbCertEncoded, cert->cbCertEncoded,
                                  CERT_STORE_ADD_REPLACE_EXISTING, &added) ||
            !added) {
            vesk_log_message(VESK_LOG_WARNING, source, "Failed to update '%s': %s", store_name, PkiErrorText(0));
        } else {
            const OwnedCert stored = own_cert(api, added);
            if (!set_friendly_name(api, stored.get()))
                vesk_log_message(VESK_LOG_WARNING, source, "Could not set friendly name: %s", PkiErrorText(0));
        }
        commit_store(api, store.get());
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

// Both stores placed, the path converted, the file signed.
bool place_and_sign(const Crypt32& crypt32, const MSSign32& mssign32, PCCERT_CONTEXT cert, const char* file_path,
                    const char* subject) {
    static const char source[] = "SelfSignFile";
    if (!AddCertToStore(crypt32, cert, "Root") || !AddCertToStore(crypt32, cert, "TrustedPublisher")) return false;
    vesk_log_message(VESK_LOG_INFO, source, "Added certificate '%s' to 'Root' and 'TrustedPublisher' stores", subject);
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

bool SelfSignFile(const char* file_path, const char* subject, bool* key_left) {
    static const char source[] = "SelfSignFile";
    if (key_left) *key_left = false;
    const std::optional<MSSign32> mssign32 = load_mssign32(source);
    const std::optional<Crypt32> crypt32 = load_crypt32(source);
    if (!mssign32 || !crypt32) return false;

    RemoveCertFromStore(*crypt32, subject, "Root");
    RemoveCertFromStore(*crypt32, subject, "TrustedPublisher");

    SigningKey key;
    const OwnedCert cert = CreateSelfSignedCert(*crypt32, subject, key);
    if (!cert) {
        // A container without a certificate is of no use to anyone.
        if (key.container[0] && !delete_key_container(key)) {
            vesk_log_message(VESK_LOG_ERROR, source, "Failed to delete private key: %s", PkiErrorText(0));
            if (key_left) *key_left = true;
        }
        return false;
    }
    vesk_log_message(VESK_LOG_DEBUG, source, "Successfully created certificate '%s'", subject);

    const bool signed_ok = place_and_sign(*crypt32, *mssign32, cert.get(), file_path, subject);
    if (DeletePrivateKey(*crypt32, cert.get(), key)) {
        vesk_log_message(VESK_LOG_INFO, source, "Successfully deleted private key");
        return signed_ok;
    }
    // Whoever can reach the key that stayed behind must not sign anything this machine trusts.
    if (key_left) *key_left = true;
    const bool root_clear = RemoveCertFromStore(*crypt32, subject, "Root");
    const bool publisher_clear = RemoveCertFromStore(*crypt32, subject, "TrustedPublisher");
    vesk_log_message(VESK_LOG_ERROR, source,
                     root_clear && publisher_clear
                         ? "The private key of '%s' could not be deleted: its certificate was removed from the "
                           "'Root' and 'TrustedPublisher' stores"
                         : "The private key of '%s' could not be deleted, nor its certificate removed from the "
                           "'Root' and 'TrustedPublisher' stores",
                     subject);
    return false;
}
