// The key containers of the machine's and the user's key sets, as a provider lists them
// (PP_ENUMCONTAINERS): what any process of the user can see. Names go into out as
// "machine:NAME" and "user:NAME". False when the provider could not be opened for a key set.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <set>
#include <string>

inline bool list_key_containers(const wchar_t* provider, DWORD type, std::set<std::string>& out) {
    bool ok = true;
    for (DWORD keyset : {DWORD{CRYPT_MACHINE_KEYSET}, DWORD{0}}) {
        HCRYPTPROV p = 0;
        if (!CryptAcquireContextW(&p, nullptr, provider, type, CRYPT_VERIFYCONTEXT | CRYPT_SILENT | keyset)) {
            ok = false;
            continue;
        }
        DWORD flags = CRYPT_FIRST | keyset;
        for (;;) {
            char name[1024];
            DWORD size = sizeof name;
            if (!CryptGetProvParam(p, PP_ENUMCONTAINERS, reinterpret_cast<BYTE*>(name), &size, flags)) break;
            flags = CRYPT_NEXT | keyset;
            out.insert((keyset ? "machine:" : "user:") + std::string(name));
        }
        if (GetLastError() != ERROR_NO_MORE_ITEMS) ok = false;
        CryptReleaseContext(p, 0);
    }
    return ok;
}
