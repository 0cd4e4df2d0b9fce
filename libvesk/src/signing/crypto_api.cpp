#include "crypto_api.h"

#include <vector>

#include "load_library.h"

namespace {
template <class Close, class Handle>
void close_keeping_last_error(Close close, Handle h) {
    const DWORD e = GetLastError();
    close(h);
    SetLastError(e);
}
}  // namespace

std::optional<Crypt32> load_crypt32(const char* source) {
    Crypt32 api{UniqueModule(load_system_library("Crypt32"))};
    const HMODULE m = api.module.get();
    const char lib[] = "Crypt32";
    bool ok = true;  // &= does not short-circuit: every lookup runs
    ok &= resolve(m, source, lib, "CertOpenStore", api.open_store);
    ok &= resolve(m, source, lib, "CertCloseStore", api.close_store);
    ok &= resolve(m, source, lib, "CertControlStore", api.control_store);
    ok &= resolve(m, source, lib, "CertFindCertificateInStore", api.find_cert);
    ok &= resolve(m, source, lib, "CertDeleteCertificateFromStore", api.delete_cert);
    ok &= resolve(m, source, lib, "CertAddCertificateContextToStore", api.add_cert);
    ok &= resolve(m, source, lib, "CertAddEncodedCertificateToStore", api.add_encoded_cert);
    ok &= resolve(m, source, lib, "CertCreateCertificateContext", api.create_cert);
    ok &= resolve(m, source, lib, "CertFreeCertificateContext", api.free_cert);
    ok &= resolve(m, source, lib, "CertSetCertificateContextProperty", api.set_cert_property);
    ok &= resolve(m, source, lib, "CertGetNameStringA", api.get_name_string);
    ok &= resolve(m, source, lib, "CertStrToNameA", api.str_to_name);
    ok &= resolve(m, source, lib, "CryptEncodeObject", api.encode_object);
    ok &= resolve(m, source, lib, "CertCreateSelfSignCertificate", api.create_self_signed);
    ok &= resolve(m, source, lib, "CryptAcquireCertificatePrivateKey", api.acquire_private_key);
    if (!ok) return std::nullopt;  // the library is released here
    return api;
}

std::optional<WinTrust> load_wintrust(const char* source) {
    WinTrust api{UniqueModule(load_system_library("WinTrust"))};
    const HMODULE m = api.module.get();
    const char lib[] = "WinTrust";
    bool ok = true;
    ok &= resolve(m, source, lib, "CryptCATOpen", api.cat_open);
    ok &= resolve(m, source, lib, "CryptCATClose", api.cat_close);
    ok &= resolve(m, source, lib, "CryptCATPersistStore", api.cat_persist);
    ok &= resolve(m, source, lib, "CryptCATStoreFromHandle", api.cat_store_from_handle);
    ok &= resolve(m, source, lib, "CryptCATPutCatAttrInfo", api.cat_put_cat_attr);
    ok &= resolve(m, source, lib, "CryptCATPutMemberInfo", api.cat_put_member);
    ok &= resolve(m, source, lib, "CryptCATPutAttrInfo", api.cat_put_attr);
    ok &= resolve(m, source, lib, "CryptCATAdminCalcHashFromFileHandle", api.calc_hash);
    if (!ok) return std::nullopt;
    return api;
}

std::optional<MSSign32> load_mssign32(const char* source) {
    MSSign32 api{UniqueModule(load_system_library("MSSign32"))};
    const HMODULE m = api.module.get();
    bool ok = true;
    ok &= resolve(m, source, "MSSign32", "SignerSignEx", api.sign);
    ok &= resolve(m, source, "MSSign32", "SignerFreeSignerContext", api.free_signer_context);
    if (!ok) return std::nullopt;
    return api;
}

void StoreClose::operator()(HCERTSTORE s) const noexcept {
    close_keeping_last_error([this](HCERTSTORE h) { fn(h, 0); }, s);
}
void CertFree::operator()(PCCERT_CONTEXT c) const noexcept { close_keeping_last_error(fn, c); }
void CatClose::operator()(HANDLE cat) const noexcept { close_keeping_last_error(fn, cat); }
void SignerContextFree::operator()(SIGNER_CONTEXT* c) const noexcept { close_keeping_last_error(fn, c); }

OwnedStore open_machine_store(const Crypt32& api, const char* store_name) {
    return own_store(api, api.open_store(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0,
                                         CERT_SYSTEM_STORE_LOCAL_MACHINE, store_name));
}

void commit_store(const Crypt32& api, HCERTSTORE store) {
    api.control_store(store, CERT_STORE_CTRL_COMMIT_FORCE_FLAG, CERT_STORE_CTRL_COMMIT, nullptr);
}

bool encode_x500_name(const Crypt32& api, const char* name, std::vector<BYTE>& out) {
    DWORD size = 0;
    if (!api.str_to_name(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr)) return false;
    out.resize(size);
    if (!api.str_to_name(X509_ASN_ENCODING, name, CERT_X500_NAME_STR, nullptr, out.data(), &size, nullptr))
        return false;
    out.resize(size);
    return true;
}
