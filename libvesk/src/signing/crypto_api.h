// The CryptoAPI libraries that signing loads by name: one record per library, filled once at
// the start of an operation with every function the subsystem calls, and passed down. The
// library is released with the record, when the operation ends. The owners of the handles
// that these libraries hand out close them through the same record.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <mscat.h>

#include <memory>
#include <optional>
#include <vector>

#include "mssign32.h"
#include "owners.h"

struct Crypt32 {
    UniqueModule module;
    decltype(&::CertOpenStore) open_store = nullptr;
    decltype(&::CertCloseStore) close_store = nullptr;
    decltype(&::CertControlStore) control_store = nullptr;
    decltype(&::CertFindCertificateInStore) find_cert = nullptr;
    decltype(&::CertDeleteCertificateFromStore) delete_cert = nullptr;
    decltype(&::CertAddCertificateContextToStore) add_cert = nullptr;
    decltype(&::CertAddEncodedCertificateToStore) add_encoded_cert = nullptr;
    decltype(&::CertCreateCertificateContext) create_cert = nullptr;
    decltype(&::CertFreeCertificateContext) free_cert = nullptr;
    decltype(&::CertSetCertificateContextProperty) set_cert_property = nullptr;
    decltype(&::CertGetNameStringA) get_name_string = nullptr;
    decltype(&::CertStrToNameA) str_to_name = nullptr;
    decltype(&::CryptEncodeObject) encode_object = nullptr;
    decltype(&::CertCreateSelfSignCertificate) create_self_signed = nullptr;
    decltype(&::CryptAcquireCertificatePrivateKey) acquire_private_key = nullptr;
};

// CryptCATStoreFromHandle gives the catalog's store record; only its presence is required.
using CatStoreFromHandleFn = void*(WINAPI*)(HANDLE);

struct WinTrust {
    UniqueModule module;
    decltype(&::CryptCATOpen) cat_open = nullptr;
    decltype(&::CryptCATClose) cat_close = nullptr;
    decltype(&::CryptCATPersistStore) cat_persist = nullptr;
    CatStoreFromHandleFn cat_store_from_handle = nullptr;
    decltype(&::CryptCATPutCatAttrInfo) cat_put_cat_attr = nullptr;
    decltype(&::CryptCATPutMemberInfo) cat_put_member = nullptr;
    decltype(&::CryptCATPutAttrInfo) cat_put_attr = nullptr;
    decltype(&::CryptCATAdminCalcHashFromFileHandle) calc_hash = nullptr;
};

struct MSSign32 {
    UniqueModule module;
    decltype(&::SignerSignEx) sign = nullptr;
    decltype(&::SignerFreeSignerContext) free_signer_context = nullptr;
};

// Each looks up every function of its record, logging "Unable to locate %s() in %s" under the
// operation's source label for each one that is missing; none when any is missing.
std::optional<Crypt32> load_crypt32(const char* source);
std::optional<WinTrust> load_wintrust(const char* source);
std::optional<MSSign32> load_mssign32(const char* source);

// Owners whose close function comes from the record. Closing keeps the thread's last error.
struct StoreClose {
    decltype(&::CertCloseStore) fn;
    void operator()(HCERTSTORE s) const noexcept;
};
struct CertFree {
    decltype(&::CertFreeCertificateContext) fn;
    void operator()(PCCERT_CONTEXT c) const noexcept;
};
struct CatClose {
    decltype(&::CryptCATClose) fn;
    void operator()(HANDLE cat) const noexcept;
};
struct SignerContextFree {
    decltype(&::SignerFreeSignerContext) fn;
    void operator()(SIGNER_CONTEXT* c) const noexcept;
};
using OwnedStore = std::unique_ptr<void, StoreClose>;
using OwnedCert = std::unique_ptr<const CERT_CONTEXT, CertFree>;
using OwnedCatalog = std::unique_ptr<void, CatClose>;  // never INVALID_HANDLE_VALUE
using OwnedSignerContext = std::unique_ptr<SIGNER_CONTEXT, SignerContextFree>;

inline OwnedCert own_cert(const Crypt32& api, PCCERT_CONTEXT c) { return OwnedCert(c, CertFree{api.free_cert}); }
inline OwnedStore own_store(const Crypt32& api, HCERTSTORE s) { return OwnedStore(s, StoreClose{api.close_store}); }

// One of the local machine's system stores by name ("Root", "TrustedPublisher"); null when it
// cannot be opened, with the last error of the attempt.
OwnedStore open_machine_store(const Crypt32& api, const char* store_name);
// Writes the store's changes now. Forced: a replacement by an equal certificate need not count
// as a change (Wine's registry stores then keep the old entry).
void commit_store(const Crypt32& api, HCERTSTORE store);
// An X.500 name string (CERT_X500_NAME_STR) encoded in two passes, size first.
bool encode_x500_name(const Crypt32& api, const char* name, std::vector<BYTE>& out);
