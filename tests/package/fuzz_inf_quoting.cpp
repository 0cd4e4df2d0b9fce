// libFuzzer target for quote_inf_text (device strings into an INF's quoted strings): whatever the
// bytes, nothing comes out that could end the string or the line, or name a field: no control
// byte (C0, DEL, UTF-8 C1), only well-formed UTF-8, every '"' and '%' doubled; undoing the
// doubling gives a subsequence of the input that keeps all its printable ASCII when whole. Built
// by scripts/fuzz.sh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "inf_values.h"

namespace {
void require(bool ok) {
    if (!ok) std::abort();
}

// Length of a well-formed UTF-8 sequence at `s`, 0 if none (independent of the product's).
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
    const unsigned b = s[0];
    std::size_t n = b < 0x80                 ? 1
                    : b >= 0xC2 && b <= 0xDF ? 2
                    : b >= 0xE0 && b <= 0xEF ? 3
                    : b >= 0xF0 && b <= 0xF4 ? 4
                                             : 0;
    if (n == 0 || n > left) return 0;
    uint32_t cp = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    for (std::size_t k = 1; k < n; ++k) {
        if ((s[k] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (s[k] & 0x3F);
    }
    const uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool is_subsequence(const std::string& part, std::string_view whole) {
    std::size_t at = 0;
    for (char c : part) {
        at = whole.find(c, at);
        if (at == std::string_view::npos) return false;
        ++at;
    }
    return true;
}

std::size_t count_printable(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) n += c >= 0x20 && c < 0x7F;
    return n;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    char out[kTokenValueBytes];
    std::memset(out, 'Z', sizeof out);
    const bool whole = quote_inf_text(text, out);
    const std::size_t length = strnlen(out, sizeof out);
    require(length < sizeof out);
    const auto* bytes = reinterpret_cast<const unsigned char*>(out);
    std::string undone;
    for (std::size_t i = 0; i < length;) {
        const std::size_t n = utf8_length(bytes + i, length - i);
        require(n != 0);
        const unsigned b = bytes[i];
        require(b >= 0x20 && b != 0x7F);
        require(!(b == 0xC2 && bytes[i + 1] <= 0x9F));
        if (b == '"' || b == '%') {
            require(i + 1 < length && bytes[i + 1] == b);
            undone += static_cast<char>(b);
            i += 2;
            continue;
        }
        undone.append(out + i, n);
        i += n;
    }
    require(is_subsequence(undone, text));
    if (whole)
        require(count_printable(undone) == count_printable(text));
    else
        require(length + 4 > sizeof out - 1);  // cut only where the next piece (at most 4 bytes) did not fit

    // A hardware ID of the accepted shape carries nothing an INF line would read specially.
    if (is_hardware_id_shape(text))
        for (char c : text) require(c > 0x20 && c < 0x7F && c != '"' && c != '%' && c != ',' && c != ';');
    if (is_interface_guid_shape(text)) require(size == 38 && text.front() == '{' && text.back() == '}');
    return 0;
}
