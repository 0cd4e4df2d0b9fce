// Signing the package's catalog with a certificate made for it alone: a fresh 4096-bit key in
// a machine key container, a self-signed code-signing certificate left in the machine's
// "Root" and "TrustedPublisher" stores, and the private key destroyed right after signing.
#include "signing.h"
#include "libvesk.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "catalog.h"
#include "cert_store.h"
#include "files.h"
#include "load_library.h"
#include "mssign32.h"
#include "owners.h"
#include "platform.h"
#include "vesk_log.h"

namespace {
// SHA-2 signatures need the enhanced RSA and AES provider: the plain RSA_FULL providers
// cannot make them.
const wchar_t kKeyContainer[] = L"libvesk key container";
constexpr DWORD kProvType = PROV_RSA_AES;
const wchar_t* const kProvName = MS_ENH_RSA_AES_PROV_W;
constexpr DWORD kKeyFlags = (4096u << 16) | CRYPT_EXPORTABLE;

#define VESK_HOME_PAGE "https://" UPDATER_HOST "/driver-setup"
const wchar_t kAltName[] = L"Created by libvesk (" VESK_HOME_PAGE ")";
const char kCpsUrl[] = "https://" UPDATER_HOST "/driver-setup/cps";

const wchar_t kFriendlyName[] = L"libvesk";
// SPC SP opus info with neither program name nor link, and the individual statement type.
const BYTE kOpusInfo[] = {0x30, 0x00};
const BYTE kStatementType[] = {0x30, 0x0C, 0x06, 0x0A, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0x37, 0x02, 0x01, 0x15};

// Two-pass encoding: size first, then into a buffer of that size.
bool encode_twice(decltype(&::CryptEncodeObject) encode, const char* type, const void* value, std::vector<BYTE>& out) {
    DWORD size = 0;
    if (!encode(X509_ASN_ENCODING, type, value, nullptr, &size) || size == 0) return false;
    out.resize(size);
    if (!encode(X509_ASN_ENCODING, type, value, out.data(), &size)) return false;
    out.resize(size);
    return true;
}

bool open_key_container(HCRYPTPROV* prov, DWORD extra_flags) {
    return CryptAcquireContextW(prov, kKeyContainer, kProvName, kProvType,
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT | extra_flags) != FALSE;
}
PCCERT_CONTEXT CreateSelfSignedCert(const char* subject) {
    static const char source[] = "CreateSelfSignedCert";
    UniqueModule crypt32(load_system_library("Crypt32"));
    const HMODULE m = crypt32.get();
    decltype(&::CryptEncodeObject) encode = nullptr;
    decltype(&::CertStrToNameA) str_to_name = nullptr;
    decltype(&::CertCreateSelfSignCertificate) create_self_signed = nullptr;
    decltype(&::CertFreeCertificateContext) free_cert = nullptr;
    decltype(&::CertSetCertificateContextProperty) set_property = nullptr;
    bool ok = true;
    ok &= resolve(m, source, "Crypt32", "CryptEncodeObject", encode);
    ok &= resolve(m, source, "Crypt32", "CertStrToNameA", str_to_name);
    ok &= resolve(m, source, "Crypt32", "CertCreateSelfSignCertificate", create_self_signed);
    ok &= resolve(m, source, "Crypt32", "CertFreeCertificateContext", free_cert);
    ok &= resolve(m, source, "Crypt32", "CertSetCertificateContextProperty", set_property);
    if (!ok) return nullptr;

    char code_signing[] = szOID_PKIX_KP_CODE_SIGNING;
    char* usages[] = {code_signing};
    CERT_ENHKEY_USAGE eku{1, usages};
    std::vector<BYTE> eku_der;
    if (!encode_twice(encode, X509_ENHANCED_KEY_USAGE, &eku, eku_der)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not setup EKU for code signing: %s", PkiErrorText(0));
        return nullptr;
    }
    wchar_t alt_text[std::size(kAltName)];
    std::memcpy(alt_text, kAltName, sizeof kAltName);
    CERT_ALT_NAME_ENTRY alt_entry{};
    alt_entry.dwAltNameChoice = CERT_ALT_NAME_RFC822_NAME;
    alt_entry.pwszRfc822Name = alt_text;
    CERT_ALT_NAME_INFO alt{1, &alt_entry};
    std::vector<BYTE> alt_der;
    if (!encode_twice(encode, X509_ALTERNATE_NAME, &alt, alt_der)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not set Alt Name: %s", PkiErrorText(0));
        return nullptr;
    }
    // The URL's NUL is part of the IA5 string, as the platform's own tools write it.
    char cps_text[std::size(kCpsUrl)];
    std::memcpy(cps_text, kCpsUrl, sizeof kCpsUrl);
    CERT_NAME_VALUE cps_value{CERT_RDN_IA5_STRING, {sizeof cps_text, reinterpret_cast<BYTE*>(cps_text)}};
    std::vector<BYTE> cps_der;
    if (!encode_twice(encode, X509_NAME_VALUE, &cps_value, cps_der)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not setup CPS: %s", PkiErrorText(0));
        return nullptr;
    }
    char cps_oid[] = szOID_PKIX_POLICY_QUALIFIER_CPS;
    CERT_POLICY_QUALIFIER_INFO qualifier{cps_oid, {static_cast<DWORD>(cps_der.size()), cps_der.data()}};
    CERT_POLICY_INFO policy{cps_oid, 1, &qualifier};
    CERT_POLICIES_INFO policies{1, &policy};
    std::vector<BYTE> policies_der;
    if (!encode_twice(encode, X509_CERT_POLICIES, &policies, policies_der)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not setup Certificate Policies: %s", PkiErrorText(0));
        return nullptr;
    }
    vesk_log_message(VESK_LOG_DEBUG, source, "Set Enhanced Key Usage, URL and CPS");

    UniqueCryptProv container;
    if (open_key_container(container.put(), 0)) {
        vesk_log_message(VESK_LOG_DEBUG, source, "Acquired existing key container");
    } else {
        const DWORD e = GetLastError();
        if ((e == static_cast<DWORD>(NTE_BAD_KEYSET) || e == static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD)) &&
            open_key_container(container.put(), CRYPT_NEWKEYSET)) {
            vesk_log_message(VESK_LOG_DEBUG, source, "Created new key container");
        } else {
            const DWORD last = GetLastError();
            vesk_log_message(VESK_LOG_WARNING, source, "Could not obtain a key container: %s (0x%08X)",
                             PkiErrorText(last), static_cast<unsigned>(last));
            return nullptr;
        }
    }
    UniqueCryptKey key;
    if (!CryptGenKey(container.get(), AT_SIGNATURE, kKeyFlags, key.put())) {
        vesk_log_message(VESK_LOG_DEBUG, source, "Could not generate keypair: %s", PkiErrorText(0));
        return nullptr;
    }
    vesk_log_message(VESK_LOG_DEBUG, source, "Generated new keypair...");
    // Some providers write a new key pair out only when the generating handle goes, and the
    // certificate call below opens the container anew by its name.
    key.reset();
    container.reset();

    DWORD name_size = 0;
    std::vector<BYTE> name_der;
    bool name_ok = str_to_name(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, nullptr, &name_size, nullptr);
    if (name_ok) {
        name_der.resize(name_size);
        name_ok =
            str_to_name(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, name_der.data(), &name_size, nullptr);
    }
    if (!name_ok) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not encode subject name for self signed cert: %s",
                         PkiErrorText(0));
        return nullptr;
    }

    char eku_oid[] = szOID_ENHANCED_KEY_USAGE;
    char alt_oid[] = szOID_SUBJECT_ALT_NAME;
    char policies_oid[] = szOID_CERT_POLICIES;
    CERT_EXTENSION ext[] = {
        {eku_oid, TRUE, {static_cast<DWORD>(eku_der.size()), eku_der.data()}},
        {alt_oid, FALSE, {static_cast<DWORD>(alt_der.size()), alt_der.data()}},
        {policies_oid, FALSE, {static_cast<DWORD>(policies_der.size()), policies_der.data()}},
    };
    CERT_EXTENSIONS extensions{static_cast<DWORD>(std::size(ext)), ext};

    wchar_t container_name[std::size(kKeyContainer)];
    std::memcpy(container_name, kKeyContainer, sizeof kKeyContainer);
    wchar_t provider_name[std::size(MS_ENH_RSA_AES_PROV_W)];
    std::memcpy(provider_name, MS_ENH_RSA_AES_PROV_W, sizeof provider_name);
    CRYPT_KEY_PROV_INFO prov_info{container_name, provider_name, kProvType, CRYPT_MACHINE_KEYSET, 0,
                                  nullptr,        AT_SIGNATURE};

    detect_windows_version();
    char sha1_rsa[] = szOID_RSA_SHA1RSA;
    char sha256_rsa[] = szOID_RSA_SHA256RSA;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{windows_version.load() <= kWindows7 ? sha1_rsa : sha256_rsa, {0, nullptr}};
    SYSTEMTIME end{};
    end.wYear = 2029;
    end.wMonth = 1;
    end.wDay = 1;

    CERT_NAME_BLOB name{name_size, name_der.data()};
    PCCERT_CONTEXT cert = create_self_signed(0, &name, 0, &prov_info, &algorithm, nullptr, &end, &extensions);
    if (!cert) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not create self signed certificate: %s", PkiErrorText(0));
        return nullptr;
    }
    vesk_log_message(VESK_LOG_INFO, source, "Created new self-signed certificate '%s'", subject);
    // Not every platform finds a machine key set through the key provider information alone
    // (Wine does not): the certificate also carries an open handle to its container, which it
    // owns from here on. Without it the key is still found the documented way.
    HCRYPTPROV handle = 0;
    if (open_key_container(&handle, 0)) {
        CERT_KEY_CONTEXT key_context{sizeof key_context, {handle}, AT_SIGNATURE};
        if (!set_property(cert, CERT_KEY_CONTEXT_PROP_ID, 0, &key_context)) CryptReleaseContext(handle, 0);
    }
    return cert;
}

bool DeletePrivateKey(PCCERT_CONTEXT cert) {
    static const char source[] = "DeletePrivateKey";
    UniqueModule crypt32(load_system_library("Crypt32"));
    const HMODULE m = crypt32.get();
    decltype(&::CryptAcquireCertificatePrivateKey) acquire_key = nullptr;
    decltype(&::CertOpenStore) open = nullptr;
    decltype(&::CertCloseStore) close = nullptr;
    decltype(&::CertAddEncodedCertificateToStore) add_encoded = nullptr;
    decltype(&::CertSetCertificateContextProperty) set_property = nullptr;
    decltype(&::CertFreeCertificateContext) free_cert = nullptr;
    decltype(&::CertControlStore) control = nullptr;
    bool ok = true;
    ok &= resolve(m, source, "Crypt32", "CryptAcquireCertificatePrivateKey", acquire_key);
    ok &= resolve(m, source, "Crypt32", "CertOpenStore", open);
    ok &= resolve(m, source, "Crypt32", "CertCloseStore", close);
    ok &= resolve(m, source, "Crypt32", "CertAddEncodedCertificateToStore", add_encoded);
    ok &= resolve(m, source, "Crypt32", "CertSetCertificateContextProperty", set_property);
    ok &= resolve(m, source, "Crypt32", "CertFreeCertificateContext", free_cert);
    ok &= resolve(m, source, "Crypt32", "CertControlStore", control);
    if (!ok) return false;

    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE key_prov = 0;
    DWORD key_spec = 0;
    BOOL caller_frees = FALSE;
    if (!acquire_key(cert, CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_CACHE_FLAG, nullptr, &key_prov, &key_spec,
                     &caller_frees)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Error getting CSP: %s", PkiErrorText(0));
        return false;
    }
    // Every handle goes before the container does: a provider may write an open container
    // back when its last handle is released. A cached handle is the certificate's own: taken
    // off the certificate and released here, the same way on every platform.
    if (!caller_frees) set_property(cert, CERT_KEY_CONTEXT_PROP_ID, CERT_STORE_NO_CRYPT_RELEASE_FLAG, nullptr);
    CryptReleaseContext(key_prov, 0);

    HCRYPTPROV gone = 0;
    if (!CryptAcquireContextW(&gone, kKeyContainer, kProvName, kProvType,
                              CRYPT_DELETEKEYSET | CRYPT_MACHINE_KEYSET | CRYPT_SILENT))
        vesk_log_message(VESK_LOG_WARNING, source, "Failed to delete private key: %s", PkiErrorText(0));

    // The stored copies still carry the link to the deleted key: replace them by the bare
    // certificate.
    for (const char* store_name : {"Root", "TrustedPublisher"}) {
        HCERTSTORE store = open_machine_store(open, store_name);
        if (!store) continue;
        PCCERT_CONTEXT stored = nullptr;
        if (!add_encoded(store, X509_ASN_ENCODING, cert->pbCertEncoded, cert->cbCertEncoded,
                         CERT_STORE_ADD_REPLACE_EXISTING, &stored) ||
            !stored) {
            vesk_log_message(VESK_LOG_WARNING, source, "Failed to update '%s': %s", store_name, PkiErrorText(0));
        } else {
            CRYPT_DATA_BLOB friendly{sizeof kFriendlyName,
                                     reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kFriendlyName))};
            if (!set_property(stored, CERT_FRIENDLY_NAME_PROP_ID, 0, &friendly))
                vesk_log_message(VESK_LOG_WARNING, source, "Could not set friendly name: %s", PkiErrorText(0));
            free_cert(stored);
        }
        // Forced: a replacement by an equal certificate need not count as a change (Wine's
        // registry stores then keep the old entry, key link and all).
        control(store, CERT_STORE_CTRL_COMMIT_FORCE_FLAG, CERT_STORE_CTRL_COMMIT, nullptr);
        close(store, 0);
    }
    return true;
}

}  // namespace

bool SelfSignFile(const char* file_path, const char* subject) {
    static const char source[] = "SelfSignFile";
    UniqueModule mssign32(load_system_library("MSSign32"));
    UniqueModule crypt32(load_system_library("Crypt32"));
    pfnSignerSignEx sign = nullptr;
    pfnSignerFreeSignerContext free_signer = nullptr;
    decltype(&::CertFreeCertificateContext) free_cert = nullptr;
    decltype(&::CertCloseStore) close = nullptr;
    bool ok = true;
    ok &= resolve(mssign32.get(), source, "MSSign32", "SignerSignEx", sign);
    ok &= resolve(mssign32.get(), source, "MSSign32", "SignerFreeSignerContext", free_signer);
    ok &= resolve(crypt32.get(), source, "Crypt32", "CertFreeCertificateContext", free_cert);
    ok &= resolve(crypt32.get(), source, "Crypt32", "CertCloseStore", close);
    if (!ok) return false;

    RemoveCertFromStore(subject, "Root");
    RemoveCertFromStore(subject, "TrustedPublisher");

    PCCERT_CONTEXT cert = CreateSelfSignedCert(subject);
    if (!cert) return false;
    struct CertFree {
        decltype(&::CertFreeCertificateContext) free_cert;
        PCCERT_CONTEXT c;
        ~CertFree() { free_cert(c); }
    } owned{free_cert, cert};
    vesk_log_message(VESK_LOG_DEBUG, source, "Successfully created certificate '%s'", subject);

    bool signed_ok = false;
    SIGNER_CONTEXT* signer = nullptr;
    if (AddCertToStore(cert, "Root") && AddCertToStore(cert, "TrustedPublisher")) {
        vesk_log_message(VESK_LOG_INFO, source, "Added certificate '%s' to 'Root' and 'TrustedPublisher' stores",
                         subject);
        Utf16 wide_path(file_path ? to_utf16(file_path) : nullptr);
        if (!wide_path || !wide_path.get()[0]) {
            vesk_log_message(VESK_LOG_WARNING, source, "Unable to convert '%s' to UTF16",
                             file_path ? file_path : "(null)");
        } else {
            DWORD index = 0;
            SIGNER_FILE_INFO file_info{sizeof file_info, wide_path.get(), nullptr};
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

            const HRESULT status =
                sign(0, &subject_info, &signer_cert, &signature, nullptr, nullptr, nullptr, nullptr, &signer);
            if (status != S_OK) {
                vesk_log_message(VESK_LOG_WARNING, source, "SignerSignEx failed: %s",
                                 PkiErrorText(static_cast<uint32_t>(status)));
            } else {
                vesk_log_message(VESK_LOG_INFO, source, "Successfully signed file '%s'", file_path);
                signed_ok = true;
            }
        }
    }
    if (DeletePrivateKey(cert)) vesk_log_message(VESK_LOG_INFO, source, "Successfully deleted private key");
    if (signer) free_signer(signer);
    return signed_ok;
}
