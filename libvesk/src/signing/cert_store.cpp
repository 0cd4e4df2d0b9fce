// Machine certificate stores. Every change is committed before the store is closed, so that
// it reaches the store's persistent form whatever the platform's write-back policy.
#include "cert_store.h"
#include "libvesk.h"

#include <cstring>
#include <vector>

#include "catalog.h"
#include "format_into.h"
#include "load_library.h"
#include "owners.h"
#include "vesk_log.h"

namespace {
const wchar_t kFriendlyName[] = L"libvesk";

struct StoreCloser {
    decltype(&::CertCloseStore) close;
    decltype(&::CertControlStore) control;
    HCERTSTORE store;
    bool changed = false;
    ~StoreCloser() {
        if (!store) return;
        const DWORD e = GetLastError();
        // Forced: a replacement by an equal certificate need not count as a change.
        if (changed && control) control(store, CERT_STORE_CTRL_COMMIT_FORCE_FLAG, CERT_STORE_CTRL_COMMIT, nullptr);
        close(store, 0);
        SetLastError(e);
    }
};
}  // namespace

HCERTSTORE open_machine_store(decltype(&::CertOpenStore) open, const char* store_name) {
    return open(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, store_name);
}

bool AddCertToStore(PCCERT_CONTEXT cert, const char* store_name) {
    UniqueModule crypt32(load_system_library("Crypt32"));
    const HMODULE m = crypt32.get();
    decltype(&::CertOpenStore) open = nullptr;
    decltype(&::CertSetCertificateContextProperty) set_property = nullptr;
    decltype(&::CertAddCertificateContextToStore) add = nullptr;
    decltype(&::CertCloseStore) close = nullptr;
    decltype(&::CertControlStore) control = nullptr;
    bool ok = true;
    ok &= resolve(m, "AddCertToStore", "Crypt32", "CertOpenStore", open);
    ok &= resolve(m, "AddCertToStore", "Crypt32", "CertSetCertificateContextProperty", set_property);
    ok &= resolve(m, "AddCertToStore", "Crypt32", "CertAddCertificateContextToStore", add);
    ok &= resolve(m, "AddCertToStore", "Crypt32", "CertCloseStore", close);
    ok &= resolve(m, "AddCertToStore", "Crypt32", "CertControlStore", control);
    if (!ok) return false;

    StoreCloser store{close, control, open_machine_store(open, store_name)};
    if (!store.store) {
        vesk_log_message(VESK_LOG_WARNING, "AddCertToStore", "Failed to open system store '%s': %s", store_name,
                         PkiErrorText(0));
        return false;
    }
    CRYPT_DATA_BLOB name{sizeof kFriendlyName, reinterpret_cast<BYTE*>(const_cast<wchar_t*>(kFriendlyName))};
    if (!set_property(cert, CERT_FRIENDLY_NAME_PROP_ID, 0, &name)) {
        vesk_log_message(VESK_LOG_WARNING, "AddCertToStore", "Could not set friendly name: %s", PkiErrorText(0));
        return false;
    }
    if (!add(store.store, cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
        vesk_log_message(VESK_LOG_WARNING, "AddCertToStore", "Failed to add certificate to system store '%s': %s",
                         store_name, PkiErrorText(0));
        return false;
    }
    store.changed = true;
    return true;
}

bool RemoveCertFromStore(const char* subject, const char* store_name) {
    UniqueModule crypt32(load_system_library("Crypt32"));
    const HMODULE m = crypt32.get();
    decltype(&::CertOpenStore) open = nullptr;
    decltype(&::CertFindCertificateInStore) find = nullptr;
    decltype(&::CertDeleteCertificateFromStore) remove = nullptr;
    decltype(&::CertCloseStore) close = nullptr;
    decltype(&::CertStrToNameA) str_to_name = nullptr;
    decltype(&::CertControlStore) control = nullptr;
    bool ok = true;
    ok &= resolve(m, "RemoveCertFromStore", "Crypt32", "CertOpenStore", open);
    ok &= resolve(m, "RemoveCertFromStore", "Crypt32", "CertFindCertificateInStore", find);
    ok &= resolve(m, "RemoveCertFromStore", "Crypt32", "CertDeleteCertificateFromStore", remove);
    ok &= resolve(m, "RemoveCertFromStore", "Crypt32", "CertCloseStore", close);
    ok &= resolve(m, "RemoveCertFromStore", "Crypt32", "CertStrToNameA", str_to_name);
    ok &= resolve(m, "RemoveCertFromStore", "Crypt32", "CertControlStore", control);
    if (!ok) return false;

    StoreCloser store{close, control, open_machine_store(open, store_name)};
    if (!store.store) {
        vesk_log_message(VESK_LOG_WARNING, "RemoveCertFromStore", "failed to open system store '%s': %s", store_name,
                         PkiErrorText(0));
        return false;
    }
    DWORD size = 0;
    std::vector<BYTE> encoded;
    bool encoded_ok = str_to_name(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr);
    if (encoded_ok) {
        encoded.resize(size);
        encoded_ok =
            str_to_name(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, encoded.data(), &size, nullptr);
    }
    if (!encoded_ok) {
        vesk_log_message(VESK_LOG_WARNING, "RemoveCertFromStore", "Failed to encode '%s': %s", subject,
                         PkiErrorText(0));
        return false;
    }
    CERT_NAME_BLOB name{size, encoded.data()};
    for (;;) {
        PCCERT_CONTEXT found = find(store.store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &name, nullptr);
        if (!found) return true;
        // The deletion frees the found context, whether or not it succeeds.
        if (!remove(found)) {
            vesk_log_message(VESK_LOG_WARNING, "RemoveCertFromStore",
                             "Failed to delete certificate '%s' from '%s' store: %s", subject, store_name,
                             PkiErrorText(0));
            return false;
        }
        store.changed = true;
        vesk_log_message(VESK_LOG_INFO, "RemoveCertFromStore", "Deleted existing certificate '%s' from '%s' store",
                         subject, store_name);
    }
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

bool AddCertToTrustedPublisher(const uint8_t* bytes, uint32_t count, bool skip_warning, HWND owner) {
    UniqueModule crypt32(load_system_library("Crypt32"));
    const HMODULE m = crypt32.get();
    decltype(&::CertOpenStore) open = nullptr;
    decltype(&::CertCreateCertificateContext) create = nullptr;
    decltype(&::CertFindCertificateInStore) find = nullptr;
    decltype(&::CertAddCertificateContextToStore) add = nullptr;
    decltype(&::CertFreeCertificateContext) free_cert = nullptr;
    decltype(&::CertGetNameStringA) get_name = nullptr;
    decltype(&::CertCloseStore) close = nullptr;
    decltype(&::CertControlStore) control = nullptr;
    bool ok = true;
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertOpenStore", open);
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertCreateCertificateContext", create);
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertFindCertificateInStore", find);
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertAddCertificateContextToStore", add);
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertFreeCertificateContext", free_cert);
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertGetNameStringA", get_name);
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertCloseStore", close);
    ok &= resolve(m, "AddCertToTrustedPublisher", "Crypt32", "CertControlStore", control);
    if (!ok) return false;

    StoreCloser store{close, control, open_machine_store(open, "TrustedPublisher")};
    if (!store.store) {
        vesk_log_message(VESK_LOG_WARNING, "AddCertToTrustedPublisher", "Unable to open system store: %s",
                         PkiErrorText(0));
        return false;
    }
    PCCERT_CONTEXT cert = bytes ? create(X509_ASN_ENCODING, bytes, count) : nullptr;
    if (!cert) {
        vesk_log_message(VESK_LOG_WARNING, "AddCertToTrustedPublisher", "Could not create context for certificate: %s",
                         PkiErrorText(0));
        return false;
    }
    struct CertFree {
        decltype(&::CertFreeCertificateContext) free_cert;
        PCCERT_CONTEXT c;
        ~CertFree() {
            if (c) free_cert(c);
        }
    } owned{free_cert, cert},
        existing{free_cert, find(store.store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr)};
    if (existing.c) return true;

    if (!skip_warning) {
        char organization[kCertNameFieldBytes] = "";
        char unit[kCertNameFieldBytes] = "";
        char org_oid[] = szOID_ORGANIZATION_NAME;
        char unit_oid[] = szOID_ORGANIZATIONAL_UNIT_NAME;
        get_name(cert, CERT_NAME_ATTR_TYPE, 0, org_oid, organization, sizeof organization);
        get_name(cert, CERT_NAME_ATTR_TYPE, 0, unit_oid, unit, sizeof unit);
        char text[kCertDialogBytes];
        format_trusted_publisher_warning(text, organization, unit);
        if (MessageBoxA(owner, text, "Warning: Trusted Certificate installation", MB_OKCANCEL | MB_ICONWARNING) !=
            IDOK) {
            vesk_log_message(VESK_LOG_INFO, "AddCertToTrustedPublisher", "Operation cancelled by the user");
            return false;
        }
    }
    if (!add(store.store, cert, CERT_STORE_ADD_NEWER, nullptr)) {
        vesk_log_message(VESK_LOG_WARNING, "AddCertToTrustedPublisher", "Could not add certificate: %s",
                         PkiErrorText(0));
        return false;
    }
    store.changed = true;
    return true;
}
