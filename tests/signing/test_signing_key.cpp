// The signing key under Wine's own provider: made in memory only (no key container in the
// machine's or the user's key sets), 4096 bits, not exportable; and made ahead on a thread of
// the library, taken once.
#include <windows.h>
#include <wincrypt.h>

#include <doctest.h>

#include <set>
#include <string>

#include "catalog_support.h"
#include "key_ahead.h"
#include "libvesk.h"
#include "package_support.h"
#include "signing_key.h"

using namespace pkgtest;
using namespace cattest;

namespace {
// Export of the signature key, private or public blob.
bool exports(HCRYPTKEY key, DWORD blob_type, DWORD* error) {
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    const bool ok = CryptExportKey(key, 0, blob_type, 0, nullptr, &size) != FALSE;
    *error = ok ? 0 : GetLastError();
    return ok;
}

// A usable signing key: 4096 bits, its public half exportable, its private half not.
void check_key(const SigningKey& key) {
    REQUIRE(key);
    DWORD error = 0;
    CHECK(exports(key.pair.get(), PUBLICKEYBLOB, &error));
    CHECK_FALSE(exports(key.pair.get(), PRIVATEKEYBLOB, &error));
    CHECK(error == static_cast<DWORD>(NTE_BAD_KEY_STATE));
    DWORD bits = 0;
    DWORD size = sizeof bits;
    REQUIRE(CryptGetKeyParam(key.pair.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0));
    CHECK(bits == 4096);
    DWORD permissions = 0;
    size = sizeof permissions;
    REQUIRE(CryptGetKeyParam(key.pair.get(), KP_PERMISSIONS, reinterpret_cast<BYTE*>(&permissions), &size, 0));
    CHECK((permissions & CRYPT_EXPORT) == 0);
}
}  // namespace

TEST_CASE("the key lives in memory only: no container appears, and none is left") {
    const std::set<std::string> before = key_containers();
    {
        SigningKey key;
        vesk_set_log_threshold(VESK_LOG_DEBUG);
        LogCapture log;
        REQUIRE(make_signing_key(key));
        CHECK(log.has("libvesk:debug [CreateSelfSignedCert] Created new ephemeral key context"));
        CHECK(log.has("libvesk:debug [CreateSelfSignedCert] Generated new keypair..."));
        check_key(key);
        CHECK(key_containers() == before);
        // The context has no container that another process could open by name.
        char name[1024] = "";
        DWORD size = sizeof name;
        if (CryptGetProvParam(key.context.get(), PP_CONTAINER, reinterpret_cast<BYTE*>(name), &size, 0) && name[0]) {
            CAPTURE(name);
            HCRYPTPROV other = 0;
            for (DWORD keyset : {DWORD{CRYPT_MACHINE_KEYSET}, DWORD{0}}) {
                const BOOL opened = CryptAcquireContextA(&other, name, nullptr, PROV_RSA_AES, keyset | CRYPT_SILENT);
                CHECK_FALSE(opened);
                if (opened) CryptReleaseContext(other, 0);
            }
        }
        CHECK(destroy_signing_key(key));
        CHECK_FALSE(key);
    }
    CHECK(key_containers() == before);
}

TEST_CASE("a key made ahead is taken once; a second taker gets none") {
    const std::set<std::string> before = key_containers();
    vesk_signing_key* ahead = nullptr;
    REQUIRE(vesk_create_signing_key(&ahead) == VESK_OK);
    REQUIRE(ahead);
    SigningKey first;
    REQUIRE(take_key_made_ahead(ahead, first));  // waits while it is being made
    check_key(first);
    SigningKey second;
    {
        LogCapture log;
        CHECK_FALSE(take_key_made_ahead(ahead, second));
        CHECK(log.has("libvesk:warning [SelfSignFile] The signing key made ahead was used before: making a new one"));
    }
    CHECK_FALSE(second);
    CHECK(vesk_destroy_signing_key(ahead) == VESK_OK);
    check_key(first);  // taken: its own now, not the handle's
    CHECK(key_containers() == before);
    SigningKey none;
    CHECK_FALSE(take_key_made_ahead(nullptr, none));
    CHECK(vesk_create_signing_key(nullptr) == VESK_ERR_INVALID_PARAMETER);
    CHECK(vesk_destroy_signing_key(nullptr) == VESK_ERR_INVALID_PARAMETER);
}

TEST_CASE("destroying a key still being made returns at once; the making thread lets it go") {
    // Several at once, so that at least the last is still being made (4096 bits take half a
    // second or more): none of the destroys waits for it.
    vesk_signing_key* keys[3] = {};
    for (vesk_signing_key*& k : keys) REQUIRE(vesk_create_signing_key(&k) == VESK_OK);
    const ULONGLONG start = GetTickCount64();
    for (vesk_signing_key* k : keys) CHECK(vesk_destroy_signing_key(k) == VESK_OK);
    const ULONGLONG took = GetTickCount64() - start;
    MESSAGE("three destroys took " << took << " ms");
    CHECK(took < 50);
}
