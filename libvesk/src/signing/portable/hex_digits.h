// Bytes as upper-case hexadecimal digits, first byte first, for narrow and wide text.
#pragma once

#include <cstddef>
#include <cstdint>

// out holds 2 * count digits and a NUL.
template <class Char>
void write_hex_upper(const uint8_t* bytes, std::size_t count, Char* out) {
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<Char>(digits[bytes[i] >> 4]);
        out[2 * i + 1] = static_cast<Char>(digits[bytes[i] & 0xF]);
    }
    out[2 * count] = Char(0);
}
