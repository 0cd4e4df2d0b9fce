// The installer pipe's name of one run: 128 bits from the system's random generator.
#include <windows.h>
#include <ntsecapi.h>

#include <cstring>

#include "format_into.h"
#include "installer_protocol.h"

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";

bool is_token_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

bool with_prefix(InstallerPipeName& name) {
    return format_into(name.path, sizeof name.path, "%s%s", kInstallerPipePrefix, name.token) == Fit::ok;
}
}  // namespace

bool new_installer_pipe_name(InstallerPipeName& name) {
    unsigned char bits[kPipeTokenRandomBytes];
    if (!RtlGenRandom(bits, sizeof bits)) return false;
    for (std::size_t i = 0; i < sizeof bits; ++i) {
        name.token[2 * i] = kDigits[bits[i] >> 4];
        name.token[2 * i + 1] = kDigits[bits[i] & 0x0F];
    }
    name.token[sizeof name.token - 1] = '\0';
    SecureZeroMemory(bits, sizeof bits);
    return with_prefix(name);
}

bool installer_pipe_name_from_token(const char* token, InstallerPipeName& name) {
    if (!token) return false;
    for (std::size_t i = 0; i < sizeof name.token - 1; ++i)
        if (!is_token_digit(token[i])) return false;  // also ends at a short token's NUL
    if (token[sizeof name.token - 1] != '\0') return false;
    std::memcpy(name.token, token, sizeof name.token);
    return with_prefix(name);
}
