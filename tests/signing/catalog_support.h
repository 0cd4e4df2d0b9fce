// Helpers of the catalog tests: the checkers' output folder, certificate lookups in the machine
// stores, PE files to hash.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <doctest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cert_store.h"
#include "key_containers.h"
#include "package_support.h"

namespace cattest {

// Where the script that runs this program wants the files for the independent checkers
// (VESK_CATALOG_OUT, a Windows path); empty when the program runs on its own.
inline std::string out_dir() {
    char buf[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("VESK_CATALOG_OUT", buf, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::string(buf) : std::string();
}

// Copies one file to out\relative, making the folders on the way.
inline void copy_out(const std::string& from, const std::string& out, const std::string& relative) {
    const std::string target = out + "\\" + relative;
    for (std::size_t at = target.find('\\', out.size() + 1); at != std::string::npos; at = target.find('\\', at + 1))
        CreateDirectoryA(target.substr(0, at).c_str(), nullptr);
    CAPTURE(target);
    CHECK(CopyFileA(from.c_str(), target.c_str(), FALSE));
}

// Copies a file or a whole tree into the checkers' folder under name.
inline void hand_over(const std::string& from, const std::string& name) {
    const std::string out = out_dir();
    if (out.empty()) return;
    if (pkgtest::is_dir(from)) {
        std::vector<std::string> files;
        pkgtest::list_files(from, "", files);
        for (const std::string& f : files) copy_out(from + "\\" + f, out, name + "\\" + f);
    } else {
        copy_out(from, out, name);
    }
}

inline void hand_over_bytes(const std::string& name, const BYTE* data, DWORD size) {
    const std::string out = out_dir();
    if (out.empty()) return;
    pkgtest::write_file(out + "\\" + name, std::string(reinterpret_cast<const char*>(data), size));
}

// Every certificate of the machine store whose subject is the X.500 string, as encoded copies.
struct StoreCert {
    std::vector<BYTE> der;
    std::wstring friendly_name;
    bool has_key_link = false;
};
inline std::vector<StoreCert> certs_of(const char* store_name, const char* subject) {
    std::vector<StoreCert> out;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, X509_ASN_ENCODING, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG, store_name);
    REQUIRE(store);
    DWORD size = 0;
    CertStrToNameA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, nullptr, &size, nullptr);
    std::vector<BYTE> name(size);
    REQUIRE(CertStrToNameA(X509_ASN_ENCODING, subject, CERT_X500_NAME_STR, nullptr, name.data(), &size, nullptr));
    CERT_NAME_BLOB blob{size, name.data()};
    PCCERT_CONTEXT c = nullptr;
    while ((c = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_NAME, &blob, c))) {
        StoreCert sc;
        sc.der.assign(c->pbCertEncoded, c->pbCertEncoded + c->cbCertEncoded);
        wchar_t fn[64] = L"";
        DWORD fn_size = sizeof fn;
        if (CertGetCertificateContextProperty(c, CERT_FRIENDLY_NAME_PROP_ID, fn, &fn_size)) sc.friendly_name = fn;
        for (DWORD id : {DWORD{CERT_KEY_PROV_INFO_PROP_ID}, DWORD{CERT_KEY_CONTEXT_PROP_ID},
                         DWORD{CERT_KEY_PROV_HANDLE_PROP_ID}}) {
            DWORD k = 0;
            if (CertGetCertificateContextProperty(c, id, nullptr, &k)) sc.has_key_link = true;
        }
        out.push_back(sc);
    }
    CertCloseStore(store, 0);
    return out;
}

// This program's own image: a real PE file to put into packages.
inline std::string own_image() {
    char path[MAX_PATH];
    REQUIRE(GetModuleFileNameA(nullptr, path, MAX_PATH) > 0);
    return path;
}

// Every key container of the machine's and the user's key sets, as the provider lists them
// ("machine:NAME", "user:NAME").
inline std::set<std::string> key_containers() {
    std::set<std::string> out;
    CHECK(list_key_containers(MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, out));
    return out;
}

// The name under which earlier builds kept their signing key. A container of that name is
// what another local user could have made in advance.
inline constexpr wchar_t kOldKeyContainer[] = L"libvesk key container";

// The public key of a machine container's signature key; empty when there is none.
inline std::vector<BYTE> planted_public_key(const wchar_t* name) {
    std::vector<BYTE> blob;
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextW(&p, name, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_MACHINE_KEYSET | CRYPT_SILENT))
        return blob;
    HCRYPTKEY k = 0;
    DWORD size = 0;
    if (CryptGetUserKey(p, AT_SIGNATURE, &k) && CryptExportKey(k, 0, PUBLICKEYBLOB, 0, nullptr, &size)) {
        blob.resize(size);
        if (!CryptExportKey(k, 0, PUBLICKEYBLOB, 0, blob.data(), &size)) blob.clear();
    }
    if (k) CryptDestroyKey(k);
    CryptReleaseContext(p, 0);
    return blob;
}

// A machine container holding a small signature key; its public key blob.
inline std::vector<BYTE> plant_key_container(const wchar_t* name) {
    HCRYPTPROV p = 0;
    if (!CryptAcquireContextW(&p, name, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_MACHINE_KEYSET | CRYPT_SILENT))
        REQUIRE(CryptAcquireContextW(&p, name, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                     CRYPT_MACHINE_KEYSET | CRYPT_SILENT | CRYPT_NEWKEYSET));
    HCRYPTKEY k = 0;
    CHECK(CryptGenKey(p, AT_SIGNATURE, (1024u << 16) | CRYPT_EXPORTABLE, &k));
    if (k) CryptDestroyKey(k);
    CryptReleaseContext(p, 0);  // the provider may write the pair only now
    return planted_public_key(name);
}

inline bool delete_key_container_named(const wchar_t* name) {
    HCRYPTPROV p = 0;
    return CryptAcquireContextW(&p, name, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                CRYPT_MACHINE_KEYSET | CRYPT_SILENT | CRYPT_DELETEKEYSET) != FALSE;
}

}  // namespace cattest

// The store operations, each as an operation of its own that loads Crypt32 for itself, as a
// test arranges and clears the stores (the library passes the table of its operation).
inline bool AddCertToStore(PCCERT_CONTEXT cert, const char* store_name) {
    const std::optional<Crypt32> api = load_crypt32("AddCertToStore");
    return api && AddCertToStore(*api, cert, store_name);
}
inline bool RemoveCertFromStore(const char* subject, const char* store_name) {
    const std::optional<Crypt32> api = load_crypt32("RemoveCertFromStore");
    return api && RemoveCertFromStore(*api, subject, store_name);
}
