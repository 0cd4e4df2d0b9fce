// ASCII rules for device IDs, driver and file names and hex fields: only A to Z and a to z
// fold, never by locale; other bytes (0x80 and above too) stand for themselves. For narrow and
// wide characters alike.
#pragma once

template <class Ch>
constexpr Ch ascii_upper(Ch c) {
    return (c >= Ch('a') && c <= Ch('z')) ? static_cast<Ch>(c - Ch('a') + Ch('A')) : c;
}

template <class Ch>
constexpr Ch ascii_lower(Ch c) {
    return (c >= Ch('A') && c <= Ch('Z')) ? static_cast<Ch>(c - Ch('A') + Ch('a')) : c;
}

// Lower-cases a NUL-terminated string in place.
template <class Ch>
constexpr void ascii_lower_in_place(Ch* s) {
    for (; *s; ++s) *s = ascii_lower(*s);
}

// 0 to 15 for 0-9, a-f and A-F; -1 for anything else.
template <class Ch>
constexpr int hex_digit_value(Ch c) {
    if (c >= Ch('0') && c <= Ch('9')) return static_cast<int>(c - Ch('0'));
    if (c >= Ch('a') && c <= Ch('f')) return static_cast<int>(c - Ch('a')) + 10;
    if (c >= Ch('A') && c <= Ch('F')) return static_cast<int>(c - Ch('A')) + 10;
    return -1;
}

template <class Ch>
constexpr bool is_hex_digit(Ch c) {
    return hex_digit_value(c) >= 0;
}

// Equal under the ASCII rule; a null pointer never equals anything, not even another null.
constexpr bool ascii_iequal(const char* a, const char* b) {
    if (!a || !b) return false;
    for (; *a && *b; ++a, ++b)
        if (ascii_upper(*a) != ascii_upper(*b)) return false;
    return *a == *b;
}
