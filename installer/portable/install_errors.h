// What a failed driver update or INF copy means: the Windows code, the texts for the user and
// the result code. Windows-free, so the table is checked natively as well.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libvesk.h"

inline constexpr std::size_t kInstallErrorTexts = 3;

struct install_error_row {
    uint32_t code;
    vesk_result result;
    const char* texts[kInstallErrorTexts];  // in sending order; unused slots null; "%s": the INF path
};

// The row of a known code; null for any other code (0 included).
const install_error_row* find_install_error(uint32_t code);

// One row text with "%s" replaced by the INF path (a null path reads as ""), cut to fit `cap`
// bytes. Only the first "%s" is filled; no other character is special.
void fill_install_error_text(const char* text, const char* inf_path, char* out, std::size_t cap);

// The code under which the system message table knows `code`: Win32 errors (three top bits
// clear) become 0x8007xxxx, except 0; SetupAPI errors (three top bits set) become 0x800Fxxxx;
// others stay as they are.
uint32_t system_message_code(uint32_t code);
