// The self-signed code-signing certificate made for one signing: subject and issuer the given
// name, an end entity that may sign code and nothing else, valid until a fixed end date.
#include "certificate.h"
#include "libvesk.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <iterator>
#include <vector>

#include "cert_validity.h"
#include "pki_error_text.h"
#include "platform.h"
#include "vesk_log.h"

namespace {
#define VESK_HOME_PAGE "https://" UPDATER_HOST "/driver-setup"
const wchar_t kHomePage[] = L"" VESK_HOME_PAGE;
const char kCpsUrl[] = "https://" UPDATER_HOST "/driver-setup/cps";

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

// Where the certificate comes from, as a subjectAltName entry of the URI kind.
bool encode_alt_name(const Crypt32& api, std::vector<BYTE>& out) {
    wchar_t url[std::size(kHomePage)];
    std::memcpy(url, kHomePage, sizeof kHomePage);
    CERT_ALT_NAME_ENTRY alt_entry{};
    alt_entry.dwAltNameChoice = CERT_ALT_NAME_URL;
    alt_entry.pwszURL = url;
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

// Signed with the key's own context. No key provider information goes onto the certificate:
// there is no container to name, and the stores get the bare certificate.
OwnedCert create_certificate(const Crypt32& api, const char* subject, const std::vector<BYTE>& name_der,
                             EncodedExtensions& encoded, const SigningKey& key) {
    char eku_oid[] = szOID_ENHANCED_KEY_USAGE;
    char alt_oid[] = szOID_SUBJECT_ALT_NAME2;
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
    char sha1_rsa[] = szOID_RSA_SHA1RSA;
    char sha256_rsa[] = szOID_RSA_SHA256RSA;
    CRYPT_ALGORITHM_IDENTIFIER algorithm{sign_with_sha1() ? sha1_rsa : sha256_rsa, {0, nullptr}};
    SYSTEMTIME end = validity_end();
    CERT_NAME_BLOB name{static_cast<DWORD>(name_der.size()), const_cast<BYTE*>(name_der.data())};
    OwnedCert cert = own_cert(api, api.create_self_signed(key.context.get(), &name, CERT_CREATE_SELFSIGN_NO_KEY_INFO,
                                                          nullptr, &algorithm, nullptr, &end, &extensions));
    if (!cert) {
        vesk_log_message(VESK_LOG_WARNING, kCertSource, "Could not create self signed certificate: %s",
                         PkiErrorText(0));
        return cert;
    }
    vesk_log_message(VESK_LOG_INFO, kCertSource, "Created new self-signed certificate '%s'", subject);
    return cert;
}

}  // namespace

OwnedCert CreateSelfSignedCert(const Crypt32& api, const char* subject, const SigningKey& key) {
    EncodedExtensions extensions;
    if (!encode_extensions(api, extensions)) return own_cert(api, nullptr);
    std::vector<BYTE> name_der;
    if (!encode_subject(api, subject, name_der)) return own_cert(api, nullptr);
    return create_certificate(api, subject, name_der, extensions, key);
}
