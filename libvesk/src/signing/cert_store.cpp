// Machine certificate stores. Every change is committed before the store is closed, so that
// it reaches the store's persistent form whatever the platform's write-back policy.
#include "cert_store.h"
#include "libvesk.h"

#include <cstring>
#include <vector>

#include "pki_error_text.h"
#include "format_into.h"
#include "owners.h"
#include "vesk_log.h"

bool set_friendly_name(const Crypt32& api, PCCERT_CONTEXT cert) {
    static const wchar_t kFriendlyName[] = L"libvesk";
    CRYPT_DATA_BLOB name{sizeof kFriendlyName, reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kFriendlyName))};
    return api.set_cert_property(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &name) != FALSE;
}

bool AddCertToStore(const Crypt32& api, PCCERT_CONTEXT cert, const char* store_name) {
    static const char source[] = "AddCertToStore";
    OwnedStore store = open_machine_store(api, store_name);
    if (!store) {
        vesk_log_message(VESK_LOG_WARNING, source, "Failed to open system store '%s': %s", store_name, PkiErrorText(0));
        return false;
    }
    if (!set_friendly_name(api, cert)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not set friendly name: %s", PkiErrorText(0));
        return false;
    }
    if (!api.add_cert(store.get(), cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Failed to add certificate to system store '%s': %s", store_name,
                         PkiErrorText(0));
        return false;
    }
    commit_store(api, store.get());
    return true;
}

bool RemoveCertFromStore(const Crypt32& api, const char* subject, const char* store_name) {
    static const char source[] = "RemoveCertFromStore";
    OwnedStore store = open_machine_store(api, store_name);
    if (!store) {
        vesk_log_message(VESK_LOG_WARNING, source, "failed to open system store '%s': %s", store_name, PkiErrorText(0));
        return false;
    }
    std::vector<BYTE> encoded;
    if (!encode_x500_name(api, subject, encoded)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Failed to encode '%s': %s", subject, PkiErrorText(0));
        return false;
    }
    CERT_NAME_BLOB name{static_cast<DWORD>(encoded.size()), encoded.data()};
    bool deleted_any = false;
    bool ok = true;
    while (PCCERT_CONTEXT found =
               api.find_cert(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &name, nullptr)) {
        // The deletion frees the found context, whether or not it succeeds.
        if (!api.delete_cert(found)) {
            vesk_log_message(VESK_LOG_WARNING, source, "Failed to delete certificate '%s' from '%s' store: %s", subject,
                             store_name, PkiErrorText(0));
            ok = false;
            break;
        }
        deleted_any = true;
        vesk_log_message(VESK_LOG_INFO, source, "Deleted existing certificate '%s' from '%s' store", subject,
                         store_name);
    }
    if (deleted_any) commit_store(api, store.get());
    return ok;
}

void format_trusted_publisher_warning(char (&out)[kCertDialogBytes], const char* organization, const char* unit) {
    const bool has_unit = unit && *unit;
    (void)format_into(out, sizeof out,
                      "Warning: this software is about to install the following organization\n"
                      "as a Trusted Publisher on your system:\n\n '%s%s%s%s'\n\n"
                      "This will allow this Publisher to run software with elevated privileges,\n"
                      "as well as install driver packages, without further security notices.\n\n"
                      "If this is not what you want, you can cancel this operation now.",
                      organization ? organization : "", has_unit ? " (" : "", has_unit ? unit : "",
                      has_unit ? ")" : "");
}

namespace {
// The organization and its unit from the certificate's subject; an absent one reads as empty.
bool user_confirms_publisher(const Crypt32& api, PCCERT_CONTEXT cert, HWND owner) {
    char organization[kCertNameFieldBytes] = "";
    char unit[kCertNameFieldBytes] = "";
    char org_oid[] = szOID_ORGANIZATION_NAME;
    char unit_oid[] = szOID_ORGANIZATIONAL_UNIT_NAME;
    api.get_name_string(cert, CERT_NAME_ATTR_TYPE, 0, org_oid, organization, sizeof organization);
    api.get_name_string(cert, CERT_NAME_ATTR_TYPE, 0, unit_oid, unit, sizeof unit);
    char text[kCertDialogBytes];
    format_trusted_publisher_warning(text, organization, unit);
    return MessageBoxA(owner, text, "Warning: Trusted Certificate installation", MB_OKCANCEL | MB_ICONWARNING) == IDOK;
}
}  // namespace

bool AddCertToTrustedPublisher(const uint8_t* bytes, uint32_t count, bool skip_warning, HWND owner) {
    static const char source[] = "AddCertToTrustedPublisher";
    const std::optional<Crypt32> api = load_crypt32(source);
    if (!api) return false;
    OwnedStore store = open_machine_store(*api, "TrustedPublisher");
    if (!store) {
        vesk_log_message(VESK_LOG_WARNING, source, "Unable to open system store: %s", PkiErrorText(0));
        return false;
    }
    const OwnedCert cert = own_cert(*api, bytes ? api->create_cert(X509_ASN_ENCODING, bytes, count) : nullptr);
    if (!cert) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not create context for certificate: %s", PkiErrorText(0));
        return false;
    }
    const OwnedCert existing =
        own_cert(*api, api->find_cert(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert.get(), nullptr));
    if (existing) return true;

    if (!skip_warning && !user_confirms_publisher(*api, cert.get(), owner)) {
        vesk_log_message(VESK_LOG_INFO, source, "Operation cancelled by the user");
        return false;
    }
    if (!api->add_cert(store.get(), cert.get(), CERT_STORE_ADD_NEWER, nullptr)) {
        vesk_log_message(VESK_LOG_WARNING, source, "Could not add certificate: %s", PkiErrorText(0));
        return false;
    }
    commit_store(*api, store.get());
    return true;
}
