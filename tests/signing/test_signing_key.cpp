// The signing key's container under Wine's own provider: a new random name each time, never a
// container that exists already, a key pair that cannot be exported, nothing left after
// deletion. Changes the prefix's machine key sets.
#include <windows.h>
#include <wincrypt.h>

#include <doctest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "catalog_support.h"
#include "libvesk.h"
#include "package_support.h"
#include "signing_key.h"

using namespace pkgtest;
using namespace cattest;

namespace {
std::string narrow(const wchar_t* s) { return std::string(s, s + std::wcslen(s)); }

bool listed(const SigningKey& key) {
    const std::vector<std::string> names = signing_containers();
    for (const std::string& n : names)
        if (n == narrow(key.container)) return true;
    return false;
}

// Export of the signature key of an open container, private or public blob.
bool exports(HCRYPTKEY key, DWORD blob_type, DWORD* error) {
    DWORD size = 0;
    SetLastError(0xdeadbeef);
    const bool ok = CryptExportKey(key, 0, blob_type, 0, nullptr, &size) != FALSE;
    *error = ok ? 0 : GetLastError();
    return ok;
}
}  // namespace

TEST_CASE("container names: random, under the library's prefix, a new one each time") {
    SigningKey a, b;
    REQUIRE(draw_key_container_name(a));
    REQUIRE(draw_key_container_name(b));
    const std::string first = narrow(a.container);
    CAPTURE(first);
    CHECK(first.size() == kKeyContainerChars - 1);
    CHECK(first.rfind(kKeyContainerPrefix, 0) == 0);
    CHECK(first.find_first_not_of("0123456789ABCDEF", sizeof kKeyContainerPrefix - 1) == std::string::npos);
    CHECK(first != narrow(b.container));
}

TEST_CASE("a container that exists already is refused, and left as it was") {
    SigningKey key;
    REQUIRE(draw_key_container_name(key));
    // Someone made a container of the drawn name first.
    const std::vector<BYTE> planted = plant_key_container(key.container);
    REQUIRE_FALSE(planted.empty());
    UniqueCryptProv prov;
    {
        LogCapture log;
        CHECK_FALSE(create_key_container(key, prov));
        CHECK(
            log.has("libvesk:warning [CreateSelfSignedCert] Could not obtain a key container: Object already "
                    "exists. (0x8009000F)"));
        CHECK_FALSE(log.has("Created new key container"));
    }
    CHECK_FALSE(prov);
    CHECK(planted_public_key(key.container) == planted);
    CHECK(delete_key_container_named(key.container));
}

TEST_CASE("the key pair cannot be exported, in the new container or reopened; deletion leaves nothing") {
    SigningKey key;
    REQUIRE(draw_key_container_name(key));
    {
        UniqueCryptProv container;
        UniqueCryptKey pair;
        vesk_set_log_threshold(VESK_LOG_DEBUG);
        LogCapture log;
        REQUIRE(create_key_container(key, container));
        REQUIRE(generate_key_pair(container.get(), pair));
        CHECK(log.has("libvesk:debug [CreateSelfSignedCert] Created new key container"));
        CHECK(log.has("libvesk:debug [CreateSelfSignedCert] Generated new keypair..."));
        DWORD error = 0;
        CHECK(exports(pair.get(), PUBLICKEYBLOB, &error));
        CHECK_FALSE(exports(pair.get(), PRIVATEKEYBLOB, &error));
        CHECK(error == static_cast<DWORD>(NTE_BAD_KEY_STATE));
        DWORD bits = 0;
        DWORD size = sizeof bits;
        REQUIRE(CryptGetKeyParam(pair.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &size, 0));
        CHECK(bits == 4096);
        DWORD permissions = 0;
        size = sizeof permissions;
        REQUIRE(CryptGetKeyParam(pair.get(), KP_PERMISSIONS, reinterpret_cast<BYTE*>(&permissions), &size, 0));
        CHECK((permissions & CRYPT_EXPORT) == 0);
    }
    // As the signer finds it: the container opened again by its name.
    CHECK(listed(key));
    {
        UniqueCryptProv container;
        REQUIRE(open_key_container(key, container.put()));
        UniqueCryptKey pair;
        REQUIRE(CryptGetUserKey(container.get(), AT_SIGNATURE, pair.put()));
        DWORD error = 0;
        CHECK(exports(pair.get(), PUBLICKEYBLOB, &error));
        CHECK_FALSE(exports(pair.get(), PRIVATEKEYBLOB, &error));
        CHECK(error == static_cast<DWORD>(NTE_BAD_KEY_STATE));
    }
    CHECK(delete_key_container(key));
    CHECK_FALSE(listed(key));
    UniqueCryptProv gone;
    CHECK_FALSE(open_key_container(key, gone.put()));
    CHECK_FALSE(delete_key_container(key));  // a second deletion has nothing to delete
}
