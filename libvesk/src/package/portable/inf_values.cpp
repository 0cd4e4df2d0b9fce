#include "inf_values.h"

#include <cstring>

#include "ascii.h"

namespace {
bool is_hex(char c, bool lower_too) { return is_hex_digit(c) && (lower_too || ascii_upper(c) == c); }
bool is_upper_or_digit(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

// Matches text against a pattern where 'X' is a hexadecimal digit and every other byte stands
// for itself.
bool matches(std::string_view text, std::string_view pattern, bool lower_too) {
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (pattern[i] == 'X' ? !is_hex(text[i], lower_too) : text[i] != pattern[i]) return false;
    }
    return true;
}

// Length of the well-formed UTF-8 sequence at the start of rest (shortest form, no surrogate,
// at most U+10FFFF), or 0 for a byte that starts none: such a byte is dropped, so that no
// conversion can read it, or it and what follows, as some other character.
std::size_t sequence_length(std::string_view rest) {
    const auto b0 = static_cast<unsigned char>(rest[0]);
    if (b0 < 0x80) return 1;
    std::size_t n = 0;
    unsigned low = 0x80, high = 0xBF;  // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) n = 2;
    if (b0 >= 0xE0 && b0 <= 0xEF) n = 3, low = b0 == 0xE0 ? 0xA0 : 0x80, high = b0 == 0xED ? 0x9F : 0xBF;
    if (b0 >= 0xF0 && b0 <= 0xF4) n = 4, low = b0 == 0xF0 ? 0x90 : 0x80, high = b0 == 0xF4 ? 0x8F : 0xBF;
    if (n == 0 || n > rest.size()) return 0;
    const unsigned b1 = static_cast<unsigned char>(rest[1]);
    if (b1 < low || b1 > high) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((static_cast<unsigned char>(rest[k]) & 0xC0) != 0x80) return 0;
    return n;
}
}  // namespace

bool quote_inf_text(std::string_view text, char (&out)[kTokenValueBytes]) {
    std::size_t used = 0;
    bool whole = true;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t well_formed = sequence_length(text.substr(i));
        const std::size_t n = well_formed ? well_formed : 1;
        const char* piece = text.data() + i;
        std::size_t length = well_formed;
        if (c < 0x20 || c == 0x7F) length = 0;
        if (c == 0xC2 && n == 2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) length = 0;  // U+0080..U+009F
        if (c == '"') piece = "\"\"", length = 2;
        if (c == '%') piece = "%%", length = 2;
        if (length > sizeof out - 1 - used) {
            whole = false;
            break;
        }
        std::memcpy(out + used, piece, length);
        used += length;
        i += n;
    }
    out[used] = '\0';
    return whole;
}

bool is_hardware_id_shape(std::string_view id) {
    constexpr std::string_view kCompatible = "MS_COMP_";
    if (id.size() > kCompatible.size() && id.substr(0, kCompatible.size()) == kCompatible) {
        for (char c : id.substr(kCompatible.size()))
            if (!is_upper_or_digit(c)) return false;
        return true;
    }
    return matches(id, "VID_XXXX&PID_XXXX", false) || matches(id, "VID_XXXX&PID_XXXX&MI_XX", false);
}

bool is_interface_guid_shape(std::string_view guid) {
    return matches(guid, "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", true);
}
